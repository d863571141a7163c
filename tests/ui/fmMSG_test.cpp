// The message dialog, driven from inside its modal loop under a real window system.

#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <optional>
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

class MessageDialog : public ::testing::Test {
 protected:
  Application app{GetModuleHandleW(nullptr)};
  TfmMSG fmMSG{app};
};

// One dialog through a run of messages: each showing sets its code's title and buttons anew
// (or, outside the catalogue, keeps them and shows no text), rebuilds the text, puts the
// focus on the first enabled button and answers by the button pressed.
TEST_F(MessageDialog, EachShowingShowsItsCodeAndAnswersByTheButtonPressed) {
  const Expected kOutside{5, kDone.title, kDone.ok, kDone.cancel, {}};
  struct Step {
    const Expected& shows;
    bool press_ok;
  };
  const Step steps[] = {{kPrompt, true},     {kPrompt, false},       {kNoDevice, false},
                        {kPortError, false}, {kIncompatible, false}, {kIncompatible, false},
                        {kDone, true},       {kOutside, true}};
  for (const Step& step : steps) {
    const Expected& e = step.shows;
    SCOPED_TRACE("code " + std::to_string(e.code));
    std::string title;
    bool ok = false, cancel = false;
    Lines lines;
    HWND focus = nullptr;
    HWND button = step.press_ok ? fmMSG.Button1 : fmMSG.Button2;
    ModalDriver driver;
    driver.then(shown(fmMSG.handle()), [&](HWND dialog) {
      title = text_of(dialog);
      ok = IsWindowEnabled(fmMSG.Button1);
      cancel = IsWindowEnabled(fmMSG.Button2);
      lines = edit_lines(fmMSG.Memo1);
      focus = GetFocus();
      press(button);
    });
    EXPECT_EQ(fmMSG.SHOW_MSG(e.code), step.press_ok);
    EXPECT_EQ(title, e.title);
    EXPECT_EQ(ok, e.ok);
    EXPECT_EQ(cancel, e.cancel);
    EXPECT_EQ(lines, e.lines);
    EXPECT_EQ(focus, e.ok ? fmMSG.Button1 : fmMSG.Button2);
    EXPECT_EQ(fmMSG.Tag, e.code);
    EXPECT_FALSE(IsWindowVisible(fmMSG.handle()));
  }
}

// Counts the texts set into a window while it lives.
class TextsSet {
 public:
  explicit TextsSet(HWND window) : window_(window) {
    SetWindowSubclass(window_, count, 0, reinterpret_cast<DWORD_PTR>(&count_));
  }
  ~TextsSet() { RemoveWindowSubclass(window_, count, 0); }
  int count() const { return count_; }

 private:
  static LRESULT CALLBACK count(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                DWORD_PTR counter) {
    if (msg == WM_SETTEXT) ++*reinterpret_cast<int*>(counter);
    return DefSubclassProc(hwnd, msg, wp, lp);
  }
  HWND window_;
  int count_ = 0;
};

// While it lives, the window system does not activate `window`, as it may refuse to for a
// program that is not in the foreground.
class NoActivation {
 public:
  explicit NoActivation(HWND window) {
    refused_ = window;
    hook_ = SetWindowsHookExW(WH_CBT, refuse, nullptr, GetCurrentThreadId());
  }
  ~NoActivation() {
    UnhookWindowsHookEx(hook_);
    refused_ = nullptr;
  }

 private:
  static LRESULT CALLBACK refuse(int code, WPARAM wp, LPARAM lp) {
    if (code == HCBT_ACTIVATE && reinterpret_cast<HWND>(wp) == refused_) return 1;
    return CallNextHookEx(nullptr, code, wp, lp);
  }
  static inline HWND refused_ = nullptr;
  HHOOK hook_ = nullptr;
};

// The text is filled once as the dialog shows: a showing that the window system never
// activates still shows its own code's lines, not the last ones, and activations during a
// showing fill nothing again.
TEST_F(MessageDialog, TheTextIsTheCodesOncePerShowingWhateverTheActivationDoes) {
  struct Step {
    const Expected& shows;
    bool activated;
  };
  for (const Step& step : {Step{kPrompt, true}, Step{kDone, false}, Step{kNoDevice, false},
                           Step{kIncompatible, true}}) {
    const Expected& e = step.shows;
    SCOPED_TRACE("code " + std::to_string(e.code));
    TextsSet texts(fmMSG.Memo1);
    std::optional<NoActivation> refused;
    if (!step.activated) refused.emplace(fmMSG.handle());
    Lines lines;
    bool active = false;
    ModalDriver driver;
    driver.then(shown(fmMSG.handle()), [&](HWND dialog) {
      active = GetActiveWindow() == dialog;
      lines = edit_lines(fmMSG.Memo1);
      // Leaving the dialog and coming back, as the user switching programs would.
      SendMessageW(dialog, WM_ACTIVATE, WA_INACTIVE, 0);
      SendMessageW(dialog, WM_ACTIVATE, WA_ACTIVE, 0);
      press(e.ok ? fmMSG.Button1 : fmMSG.Button2);
    });
    fmMSG.SHOW_MSG(e.code);
    EXPECT_EQ(active, step.activated);
    EXPECT_EQ(lines, e.lines);
    EXPECT_EQ(texts.count(), 1);
  }
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
