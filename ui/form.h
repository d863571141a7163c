#pragma once
// What the program's windows are built from: forms (top-level windows on the button-face
// colour, owned by the application), panels (flat coloured containers, clickable), labels
// sized to their text, and the colours and fonts they use. Sizes are given in design pixels
// (96 per inch) and scaled to the screen.

#include <windows.h>

#include <functional>
#include <map>
#include <string_view>
#include <vector>

#include "ui/application.h"

namespace patu {

// COLORREF values (0x00BBGGRR).
inline constexpr COLORREF kNavy = 0x00800000;
inline constexpr COLORREF kYellow = 0x0000FFFF;
inline constexpr COLORREF kWhite = 0x00FFFFFF;
inline constexpr COLORREF kPaleYellow = 0x00CCFFFF;

// Placement in design pixels, relative to the parent's client area.
struct Bounds {
  int left, top, width, height;
};

// Registers the window classes of forms and panels once per process, with the program's icons.
void register_form_classes(HINSTANCE instance, HICON big_icon, HICON small_icon);
// The window procedure of forms (T = Form) and panels (T = Panel): hands each message to the
// object behind the window.
template <typename T>
LRESULT CALLBACK route_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
// Whether `hwnd` is one of the program's forms (they get dialog-style keyboard navigation).
bool is_form(HWND hwnd);

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

// A flat container in one colour, with an optional single-line border and an optional
// caption centred in it. A click (button pressed and released over it) calls OnClick.
// Commands and colour requests of its children go on to its form.
class Panel {
 public:
  Panel() = default;
  ~Panel();
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  void create(Form& form, HWND parent, Bounds bounds, COLORREF color, bool border,
              std::string_view caption = {});
  HWND handle() const { return handle_; }
  COLORREF Color() const { return color_; }
  void set_Color(COLORREF color);

  int Tag = 0;
  std::function<void(Panel& sender)> OnClick;
  // The mouse pointer over the panel is the hand (unless the screen-wide one is set).
  bool hand_cursor = false;

 private:
  friend LRESULT CALLBACK route_message<Panel>(HWND, UINT, WPARAM, LPARAM);
  LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp);

  Form* form_ = nullptr;
  HWND handle_ = nullptr;
  COLORREF color_ = 0;
  HBRUSH brush_ = nullptr;
  HFONT font_ = nullptr;
  bool pressed_ = false;
};

}  // namespace patu
