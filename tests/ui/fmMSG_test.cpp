// The message dialog, driven from inside its modal loop under a real window system.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/ui/driver.h"
#include "ui/application.h"
#include "ui/fmMSG.h"

namespace patu::testing {
namespace {

using Lines = std::vector<std::string>;

struct Expected {
  int code;
  std::string title;
  bool ok;
  bool cancel;
  Lines lines;
};

const Expected kPrompt{
    0,
    "Mensagem",
    true,
    true,
    {"Para iniciar a atualização deste cartucho, coloque-o",
     "em MODO DE ATUALIZAÇÃO e pressione OK para", "iniciar o procedimento.", "",
     "MODO DE ATUALIZAÇÃO: ligue o aparelho com as", "duas setas pressionadas (<- e ->)."}};
const Expected kPortError{
    1,
    "Erro de comunicação",
    false,
    true,
    {"Não foi possível abrir a porta serial definida para",
     "a comunicação com o aparelho. Verifique se a porta",
     "está correta ou se ela não está sendo utilizada por", "outro software."}};
const Expected kNoDevice{3,
                         "Erro de comunicação",
                         false,
                         true,
                         {"Não foi possível comunicar com o aparelho.", "Verifique:", "",
                          "1. Se o aparelho está alimentado corretamente",
                          "2. Se a conexão com o computador está correta",
                          "3. Se a porta serial foi definida corretamente."}};
const Expected kIncompatible{4,
                             "Incompatibilidade de Versão",
                             false,
                             true,
                             {"Esta atualização não pode ser executada neste",
                              "aparelho por incompatibilidade de versões."}};
const Expected kDone{7, "Mensagem", true, false, {"Atualização concluída com sucesso!!"}};

// What the dialog showed while it was open.
struct Seen {
  std::string title;
  bool ok = false;
  bool cancel = false;
  Lines lines;
  HWND focus = nullptr;
};

class MessageDialog : public ::testing::Test {
 protected:
  Seen look() const {
    return {text_of(fmMSG.handle()), IsWindowEnabled(fmMSG.Button1) != FALSE,
            IsWindowEnabled(fmMSG.Button2) != FALSE, edit_lines(fmMSG.Memo1), GetFocus()};
  }

  // Shows `code`, records what shows, and closes the dialog with `button`.
  bool show(int code, Seen& seen, HWND button) {
    ModalDriver driver;
    driver.then(shown(fmMSG.handle()), [&](HWND) {
      seen = look();
      press(button);
    });
    return fmMSG.SHOW_MSG(code);
  }

  void expect_shows(const Seen& seen, const Expected& e) {
    EXPECT_EQ(seen.title, e.title);
    EXPECT_EQ(seen.ok, e.ok);
    EXPECT_EQ(seen.cancel, e.cancel);
    EXPECT_EQ(seen.lines, e.lines);
  }

  Application app{GetModuleHandleW(nullptr)};
  TfmMSG fmMSG{app};
};

TEST_F(MessageDialog, EachCodeShowsItsTitleButtonsAndLinesAndAnswersByItsButton) {
  for (const Expected* e : {&kPrompt, &kPortError, &kNoDevice, &kIncompatible, &kDone}) {
    SCOPED_TRACE("code " + std::to_string(e->code));
    Seen seen;
    // The one button a code leaves (OK where both are enabled).
    HWND button = e->ok ? fmMSG.Button1 : fmMSG.Button2;
    const bool answer = show(e->code, seen, button);
    expect_shows(seen, *e);
    EXPECT_EQ(seen.focus, button) << "the focus is on the first enabled button";
    EXPECT_EQ(answer, e->ok);
    EXPECT_EQ(fmMSG.Tag, e->code);
    EXPECT_FALSE(IsWindowVisible(fmMSG.handle()));
  }
}

TEST_F(MessageDialog, CancelarOnThePromptAnswersFalse) {
  Seen seen;
  EXPECT_FALSE(show(0, seen, fmMSG.Button2));
  expect_shows(seen, kPrompt);
}

TEST_F(MessageDialog, TheSameCodeTwiceShowsItsLinesOnce) {
  Seen first, second;
  show(4, first, fmMSG.Button2);
  show(4, second, fmMSG.Button2);
  expect_shows(first, kIncompatible);
  expect_shows(second, kIncompatible);
}

TEST_F(MessageDialog, ACodeKeepsNothingOfThePreviousOne) {
  Seen seen;
  show(0, seen, fmMSG.Button1);
  show(3, seen, fmMSG.Button2);
  expect_shows(seen, kNoDevice);
  EXPECT_EQ(seen.focus, fmMSG.Button2);
  show(7, seen, fmMSG.Button1);
  expect_shows(seen, kDone);
}

TEST_F(MessageDialog, ACodeOutsideTheCatalogueKeepsTitleAndButtonsAndShowsNoText) {
  Seen seen;
  show(4, seen, fmMSG.Button2);
  EXPECT_FALSE(show(5, seen, fmMSG.Button2));
  EXPECT_EQ(seen.title, kIncompatible.title);
  EXPECT_FALSE(seen.ok);
  EXPECT_TRUE(seen.cancel);
  EXPECT_TRUE(seen.lines.empty());
  EXPECT_EQ(fmMSG.Tag, 5);
}

TEST_F(MessageDialog, ACloseRequestAnswersFalseEvenWhereOnlyOkIsEnabled) {
  for (int code : {0, 7}) {
    SCOPED_TRACE("code " + std::to_string(code));
    ModalDriver driver;
    driver.then(shown(fmMSG.handle()), [](HWND dialog) { PostMessageW(dialog, WM_CLOSE, 0, 0); });
    EXPECT_FALSE(fmMSG.SHOW_MSG(code));
  }
}

TEST_F(MessageDialog, TheKeyboardReachesOnlyTheFocusedButton) {
  {
    ModalDriver driver;
    HWND focus_after_tab = nullptr;
    driver.then(shown(fmMSG.handle()), [](HWND) { post_key(VK_ESCAPE); })
        .then(shown(fmMSG.handle()), [](HWND) { post_key(VK_TAB); })
        .then(shown(fmMSG.handle()), [&](HWND) {
          focus_after_tab = GetFocus();
          post_key(VK_RETURN);
        });
    EXPECT_FALSE(fmMSG.SHOW_MSG(0)) << "Enter on the focused Cancelar";
    EXPECT_EQ(focus_after_tab, fmMSG.Button2);
  }
  {
    ModalDriver driver;
    driver.then(shown(fmMSG.handle()), [](HWND) { post_key(VK_RETURN); });
    EXPECT_TRUE(fmMSG.SHOW_MSG(0)) << "Enter on the focused OK";
  }
  {
    // Space presses the focused button too; Tab finds no other enabled one.
    ModalDriver driver;
    driver.then(shown(fmMSG.handle()), [](HWND) { post_key(VK_TAB); })
        .then(shown(fmMSG.handle()), [](HWND) { post_key(VK_SPACE); });
    EXPECT_FALSE(fmMSG.SHOW_MSG(1));
  }
}

TEST_F(MessageDialog, ShowingIsModalWithTheArrowAndCentredEachTime) {
  HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                               100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  SetActiveWindow(other);
  app.set_cursor(Cursor::hourglass);

  bool other_enabled = true;
  HCURSOR pointer = nullptr;
  {
    ModalDriver driver;
    driver.then(shown(fmMSG.handle()), [&](HWND dialog) {
      other_enabled = IsWindowEnabled(other);
      pointer = GetCursor();
      SetWindowPos(dialog, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
      press(fmMSG.Button1);
    });
    fmMSG.SHOW_MSG(0);
  }
  EXPECT_FALSE(other_enabled);
  EXPECT_EQ(pointer, LoadCursorW(nullptr, IDC_ARROW));
  EXPECT_TRUE(IsWindowEnabled(other));
  EXPECT_EQ(GetActiveWindow(), other);
  EXPECT_EQ(app.cursor(), Cursor::hourglass);
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_WAIT));

  RECT r{};
  {
    ModalDriver driver;
    driver.then(shown(fmMSG.handle()), [&](HWND dialog) {
      GetWindowRect(dialog, &r);
      press(fmMSG.Button1);
    });
    fmMSG.SHOW_MSG(0);
  }
  EXPECT_NEAR((r.left + r.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
  EXPECT_NEAR((r.top + r.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
  DestroyWindow(other);
}

TEST_F(MessageDialog, AfterARequestToEndItClosesAtOnceButPlainBoxesStillShow) {
  app.Terminate();
  {
    ModalDriver driver;  // no step: nobody answers the dialog
    EXPECT_FALSE(fmMSG.SHOW_MSG(7));
  }
  std::string text;
  ModalDriver driver;
  driver.then(message_box(), [&](HWND box) {
    text = box_text(box);
    press_box_ok(box);
  });
  app.message_box(nullptr, "Falhou.");
  EXPECT_EQ(text, "Falhou.");
}

TEST_F(MessageDialog, TheDialogHasNoTitleBarButtonsAndTheDesignedSize) {
  const LONG style = GetWindowLongW(fmMSG.handle(), GWL_STYLE);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_FALSE(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
  RECT client;
  GetClientRect(fmMSG.handle(), &client);
  EXPECT_EQ(client.right, app.scale(338));
  EXPECT_EQ(client.bottom, app.scale(168));
  EXPECT_FALSE(IsWindowVisible(fmMSG.handle())) << "created hidden";
  EXPECT_FALSE(IsWindowEnabled(fmMSG.Panel1.handle()));
}

}  // namespace
}  // namespace patu::testing
