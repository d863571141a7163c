# Shared by the mingw-w64 toolchain files; PATU_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)
# The POSIX-threads flavour: GoogleTest needs std::mutex, which the win32 flavour lacks.
# Linked statically, it adds no DLL.
set(CMAKE_C_COMPILER ${PATU_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PATU_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PATU_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PATU_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# A thread entry or callback cast to another calling convention works on x86-64, where there is
# one, and corrupts the stack of the shipped i686 build: such casts do not build.
add_compile_options(-Werror=cast-function-type)
