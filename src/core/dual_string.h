// Text held in a narrow (UTF-8) or a wide (UTF-16) form and converted on demand. After any
// conversion exactly one form is held; an empty string holds neither. Not synchronised.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tarnwick {

class DualString {
  public:
    DualString() = default;
    DualString(const char* narrow);    // NOLINT(google-explicit-constructor): text literals
    DualString(const char16_t* wide);  // NOLINT(google-explicit-constructor)
    DualString(const DualString& other) = default;
    DualString& operator=(const DualString& other) = default;
    DualString& operator=(const char* narrow);
    DualString& operator=(const char16_t* wide);

    // The wide form (converting and dropping the narrow form when needed), or nullptr when empty.
    const char16_t* GetWide();
    // The narrow form (converting and dropping the wide form when needed), or nullptr when empty.
    const char* GetNarrow();

    bool HoldsNarrow() const { return narrow_.has_value(); }
    bool HoldsWide() const { return wide_.has_value(); }
    // Count of characters in the form held (bytes for narrow, UTF-16 units for wide).
    std::size_t Length() const;
    bool Empty() const { return Length() == 0; }

    DualString& Append(const char* narrow);
    DualString& Append(char c);
    DualString& Append(const char16_t* wide);
    DualString& Append(const DualString& other);  // the other's narrow form is preferred

    bool operator==(const DualString& other) const;
    bool operator==(const char* narrow) const;
    bool operator==(const char16_t* wide) const;

    bool EndsWith(char c);
    // Removes and returns the last character (working on the narrow form); on an empty string
    // returns 0 and changes nothing.
    char RemoveLast();

  private:
    std::optional<std::string> narrow_;
    std::optional<std::u16string> wide_;
};

DualString operator+(const DualString& text, const char* narrow);
DualString operator+(const char* narrow, const DualString& text);

}  // namespace tarnwick
