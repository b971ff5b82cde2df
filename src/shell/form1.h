// The program's one window. It is never shown: it exists to carry its Load
// event into the registration procedure, which unloads it again.
#ifndef KAVRO_SHELL_FORM1_H_
#define KAVRO_SHELL_FORM1_H_

#include <functional>
#include <utility>

class Form1 {
 public:
  using LoadHandler = std::function<void(Form1&)>;

  explicit Form1(LoadHandler on_load) : on_load_(std::move(on_load)) {}
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  // Creates the window and raises its Load event, before anything is shown.
  void Load() {
    loaded_ = true;
    on_load_(*this);
  }

  // The window is gone and will not be shown.
  void MarkUnloaded() { loaded_ = false; }

  bool loaded() const { return loaded_; }

 private:
  LoadHandler on_load_;
  bool loaded_ = false;
};

#endif  // KAVRO_SHELL_FORM1_H_
