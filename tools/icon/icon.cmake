# pATU's icon, made from its drawing (pATU.svg) at the sizes Windows asks of it: rsvg-convert
# renders each size afresh from the drawing, and icotool packs them, the 256-pixel one as PNG.
find_program(PATU_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(PATU_ICOTOOL icotool REQUIRED)

set(PATU_ICON_SVG ${CMAKE_CURRENT_LIST_DIR}/pATU.svg)
set(PATU_ICON_SIZES 16 20 24 32 40 48 64 256)

# Declares the command that writes the icon file `ico`, and the target `target` that makes it.
function(patu_icon_file target ico)
  get_filename_component(dir ${ico} DIRECTORY)
  set(commands)
  set(pngs)
  foreach(size IN LISTS PATU_ICON_SIZES)
    set(png ${dir}/icon-${size}.png)
    list(APPEND commands COMMAND ${PATU_RSVG_CONVERT} -w ${size} -h ${size} -o ${png}
                         ${PATU_ICON_SVG})
    if(size EQUAL 256)
      list(APPEND pngs --raw=${png})  # Vista's PNG entry: a 256-pixel bitmap would be 256 KiB
    else()
      list(APPEND pngs ${png})
    endif()
  endforeach()
  add_custom_command(OUTPUT ${ico} ${commands} COMMAND ${PATU_ICOTOOL} -c -o ${ico} ${pngs}
                     DEPENDS ${PATU_ICON_SVG} COMMENT "Making pATU's icon from its drawing"
                     VERBATIM)
  add_custom_target(${target} DEPENDS ${ico})
endfunction()
