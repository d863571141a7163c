#include "package/loader.h"

#include <optional>
#include <string>
#include <utility>

#include "package/hex.h"
#include "package/layout.h"

namespace patu {
namespace {

const std::string kInvalid(kInvalidPackage);

std::string refusal(const LayoutBreach& breach, const PackageLines& lines,
                    const PackageLayout& layout) {
  const std::string at = " (linha " + std::to_string(breach.line) + ").";
  switch (breach.fault) {
    case LayoutFault::kNoContentsMarker:
      return kInvalid + "falta a linha * após o conteúdo" + at;
    case LayoutFault::kNoCodesMarker:
      return kInvalid + "falta a linha * após os códigos dos módulos" + at;
    case LayoutFault::kTooManyCodes:
      return kInvalid + "mais de " + std::to_string(kMaxModuleCodes) + " módulos" + at;
    case LayoutFault::kSectionOpen:
      return kInvalid + "a seção " + std::to_string(breach.item + 1) +
             " do firmware não termina com a linha *" + at;
    case LayoutFault::kGroupOpen: {
      const auto code = static_cast<std::uint16_t>(*layout.contents_marker + 4 + breach.item);
      return kInvalid + "o módulo \"" + lines.line(code) + "\" não termina com a linha *" + at;
    }
    case LayoutFault::kNoInfoTail:
      return kInvalid + "falta a linha de informações antes da linha FIM" + at;
    case LayoutFault::kExtraGroup:
      return kInvalid + "há mais grupos de módulos que códigos" + at;
    case LayoutFault::kExtraInfoTail:
      return kInvalid + "há mais de uma linha de informações antes da linha FIM" + at;
  }
  return kInvalid + at;
}

std::uint32_t address(const PackageLines& lines, std::uint32_t n) {
  return static_cast<std::uint32_t>(HEX_PARA_INT(lines.line(static_cast<std::uint16_t>(n))));
}

}  // namespace

// The window's steps in order: end search, captions, version, then the parts of the package.
// The whole layout is walked before any state changes, so a refused package leaves the
// state of an earlier load in place, only marked as not loaded.
LoadResult load_package(const PackageLines& lines, PackageState& state) {
  LoadResult result;
  auto refuse = [&](std::string error) {
    state.loaded = false;
    result.error = std::move(error);
    return result;
  };

  const std::optional<std::uint32_t> end = find_end_line(lines);
  if (!end) return refuse(kInvalid + "falta a linha FIM.");

  result.lbDATA = lines.line(1);
  result.lbATU = lines.line(2);

  const std::string version_text = lines.line(3);
  const std::optional<std::int32_t> version = parse_decimal(version_text);
  if (!version) return refuse("'" + version_text + "' is not a valid integer value");

  const LayoutWalk walk = walk_layout(lines, *end);
  if (walk.breach) return refuse(refusal(*walk.breach, lines, walk.layout));
  const std::uint32_t s1 = *walk.layout.contents_marker;
  const std::uint32_t s2 = *walk.layout.codes_marker;

  std::vector<std::string> memo;
  for (std::uint32_t n = kFirstContentsLine; n < s1; ++n) {
    memo.push_back(lines.line(static_cast<std::uint16_t>(n)));
  }
  result.mmA = std::move(memo);

  state.VERSAO_PACOTE = static_cast<std::uint8_t>(*version);
  state.END_SECAO1 = address(lines, s1 + 1);
  state.END_SECAO2 = address(lines, s1 + 2);
  state.END_MODULOS = address(lines, s1 + 3);
  state.LISTA_MODULOS.clear();
  for (std::uint32_t n = s1 + 4; n < s2; ++n) {
    state.LISTA_MODULOS.push_back(lines.line(static_cast<std::uint16_t>(n)));
  }
  state.LINHA_ATUAL = static_cast<std::int32_t>(s2 + 1);
  state.loaded = true;

  result.pbAND_max = static_cast<int>(*end) - state.LINHA_ATUAL + 10;
  result.ok = true;
  return result;
}

}  // namespace patu
