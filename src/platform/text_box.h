// A message box drawn as text, where the platform has no windows.
#ifndef KAVRO_PLATFORM_TEXT_BOX_H_
#define KAVRO_PLATFORM_TEXT_BOX_H_

#include <string>

// The box with the icon its style's bits 0x70 stand for (none, stop,
// question, exclamation, information), its title and prompt, and its one
// button, OK.
inline std::string TextBox(const std::string& prompt, int style, const std::string& title) {
  static constexpr const char* kIcons[] = {"", "(x) ", "(?) ", "(!) ", "(i) ", "", "", ""};
  return "\n" + std::string(kIcons[(style & 0x70) >> 4]) + title + "\n\n" + prompt + "\n\n[ OK ]\n";
}

#endif  // KAVRO_PLATFORM_TEXT_BOX_H_
