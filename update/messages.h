#pragma once
// The texts of the program's messages: the message dialog's catalogue and the application
// title that captions every plain message box. Platform-neutral, so that the technician's
// guide can be checked against them natively.

#include <span>
#include <string_view>

namespace patu {

// The text of the program's taskbar button and the caption of every plain message box.
inline constexpr std::string_view kApplicationTitle = "Atualização Cartucho VORN";
// Shown by the system to whoever shuts the PC down, restarts it or logs off during an update.
inline constexpr std::string_view kEndSessionRefused =
    "Atualização do aparelho em andamento. Não desligue o computador até que ela termine.";

inline constexpr std::string_view kLines0[] = {
    "Para iniciar a atualização deste cartucho, coloque-o",
    "em MODO DE ATUALIZAÇÃO e pressione OK para",
    "iniciar o procedimento.",
    "",
    "MODO DE ATUALIZAÇÃO: ligue o aparelho com as",
    "duas setas pressionadas (<- e ->).",
};
inline constexpr std::string_view kLines1[] = {
    "Não foi possível abrir a porta serial definida para",
    "a comunicação com o aparelho. Verifique se a porta",
    "está correta ou se ela não está sendo utilizada por",
    "outro software.",
};
inline constexpr std::string_view kLines3[] = {
    "Não foi possível comunicar com o aparelho.",
    "Verifique:",
    "",
    "1. Se o aparelho está alimentado corretamente",
    "2. Se a conexão com o computador está correta",
    "3. Se a porta serial foi definida corretamente.",
};
inline constexpr std::string_view kLines4[] = {
    "Esta atualização não pode ser executada neste",
    "aparelho por incompatibilidade de versões.",
};
inline constexpr std::string_view kLines7[] = {
    "Atualização concluída com sucesso!!",
};

// One message of the dialog: its title, whether "OK" and "Cancelar" can be pressed, and the
// lines of its text.
struct Message {
  int code;
  std::string_view title;
  bool ok;
  bool cancel;
  std::span<const std::string_view> lines;
};

inline constexpr Message kCatalogue[] = {
    {0, "Mensagem", true, true, kLines0},
    {1, "Erro de comunicação", false, true, kLines1},
    {3, "Erro de comunicação", false, true, kLines3},
    {4, "Incompatibilidade de Versão", false, true, kLines4},
    {7, "Mensagem", true, false, kLines7},
};

// The catalogue's message `code`, or null for a code outside it.
constexpr const Message* find_message(int code) {
  for (const Message& m : kCatalogue) {
    if (m.code == code) return &m;
  }
  return nullptr;
}

}  // namespace patu
