#pragma once
// Panels: flat coloured containers with an optional caption, clickable.

#include <windows.h>

#include <functional>
#include <string_view>

#include "ui/window_classes.h"

namespace patu {

class Form;

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
  // A greyed caption says that what the panel stands for is absent.
  void set_caption(std::string_view caption, bool greyed = false);
  bool greyed() const { return greyed_; }

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
  bool greyed_ = false;
};

}  // namespace patu
