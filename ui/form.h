#pragma once
// What the program's forms are built from: top-level windows on the button-face colour, owned
// by the application, with labels sized to their text, and the colours and fonts they use.
// Sizes are given in design pixels (96 per inch) and scaled to the screen.

#include <windows.h>

#include <map>
#include <string_view>
#include <vector>

#include "ui/application.h"
#include "ui/panel.h"
#include "ui/window_classes.h"

namespace patu {

// COLORREF values (0x00BBGGRR).
inline constexpr COLORREF kNavy = 0x00800000;
inline constexpr COLORREF kYellow = 0x0000FFFF;
inline constexpr COLORREF kWhite = 0x00FFFFFF;
inline constexpr COLORREF kPaleYellow = 0x00CCFFFF;

class Form {
 public:
  virtual ~Form();
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  HWND handle() const { return handle_; }
  Application& app() const { return app_; }
  // Shows the form and makes it the active window.
  void Show();
  // Places the form at the centre of the screen.
  void center();

 protected:
  explicit Form(Application& app);

  // Creates the window with a client area of `width` x `height` design pixels, centred.
  void create(std::string_view title, DWORD style, DWORD ex_style, int width, int height);
  // The form's own handling; what it does not handle goes to Form::handle_message.
  virtual LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp);

  // Arial of `points` at the screen's resolution; kept until the form is destroyed.
  HFONT make_font(int points, bool bold = false, bool italic = false);
  HWND create_control(HWND parent, const wchar_t* window_class, std::string_view text, DWORD style,
                      Bounds bounds, int id, HFONT font);
  // A label at (left, top), sized to its text, in `text_color` on `back`.
  HWND create_label(HWND parent, std::string_view text, int left, int top, HFONT font,
                    COLORREF text_color, COLORREF back);
  // A label sized to its text that ends at `right`: right-aligned captions keep their edge
  // whatever width the text takes at the screen's resolution.
  HWND create_right_label(HWND parent, std::string_view text, int right, int top, HFONT font,
                          COLORREF text_color, COLORREF back);
  // Paints `control` (a static or read-only edit) in `text_color` on `back`.
  void set_colors(HWND control, COLORREF text_color, COLORREF back);
  // The next activation puts the focus on the first control the Tab key stops at.
  void forget_focus() { focus_ = nullptr; }
  // Destroys the window; derived forms call it first thing in their destructors, while
  // their components still exist.
  void destroy();

 private:
  friend LRESULT CALLBACK route_message<Form>(HWND, UINT, WPARAM, LPARAM);
  struct Colors {
    COLORREF text;
    COLORREF back;
  };
  HBRUSH brush(COLORREF color);
  void restore_focus();

  Application& app_;
  HWND handle_ = nullptr;
  HWND focus_ = nullptr;  // the control that had the focus when the form was last active
  std::map<HWND, Colors> colors_;
  std::map<COLORREF, HBRUSH> brushes_;
  std::vector<HFONT> fonts_;
};

// Sets a label's caption and sizes the label to it.
void set_label(HWND label, std::string_view text);
// A window's text in UTF-8.
std::string window_text(HWND hwnd);

}  // namespace patu
