// An OS handle that is closed when destroyed, if not before: a file
// descriptor on POSIX, a HANDLE on Windows. `Traits` gives the OS's side:
// the handle's type, the value that is none, which values are open, and how
// one is closed (true where the close succeeded).
#ifndef KAVRO_PLATFORM_PROTOCOL_UNIQUE_HANDLE_H_
#define KAVRO_PLATFORM_PROTOCOL_UNIQUE_HANDLE_H_

#include <utility>

namespace profile {

template <typename Traits>
class UniqueHandle final {
 public:
  using Value = typename Traits::Value;

  explicit UniqueHandle(Value value = Traits::None()) : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept
      : value_(std::exchange(other.value_, Traits::None())) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Close();
      value_ = std::exchange(other.value_, Traits::None());
    }
    return *this;
  }
  ~UniqueHandle() { Close(); }

  Value get() const { return value_; }
  bool valid() const { return Traits::Open(value_); }
  // Closes now, reporting whether the close succeeded (it can report a
  // late write error).
  bool Close() {
    const Value value = std::exchange(value_, Traits::None());
    return !Traits::Open(value) || Traits::Close(value);
  }
  // Hands the handle over to what closes it from now on.
  Value Release() { return std::exchange(value_, Traits::None()); }

 private:
  Value value_;
};

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROTOCOL_UNIQUE_HANDLE_H_
