#include "core/dual_string.h"

#include "platform/text.h"

namespace tarnwick {

DualString::DualString(const char* narrow) {
    *this = narrow;
}

DualString::DualString(const char16_t* wide) {
    *this = wide;
}

DualString& DualString::operator=(const char* narrow) {
    narrow_.reset();
    wide_.reset();
    if (narrow != nullptr && *narrow != '\0') narrow_.emplace(narrow);
    return *this;
}

DualString& DualString::operator=(const char16_t* wide) {
    narrow_.reset();
    wide_.reset();
    if (wide != nullptr && *wide != u'\0') wide_.emplace(wide);
    return *this;
}

const char16_t* DualString::GetWide() {
    if (wide_) return wide_->c_str();
    if (!narrow_) return nullptr;
    wide_.emplace(Utf8ToUtf16(*narrow_));
    narrow_.reset();
    return wide_->c_str();
}

const char* DualString::GetNarrow() {
    if (narrow_) return narrow_->c_str();
    if (!wide_) return nullptr;
    narrow_.emplace(Utf16ToUtf8(*wide_));
    wide_.reset();
    return narrow_->c_str();
}

std::size_t DualString::Length() const {
    if (narrow_) return narrow_->size();
    if (wide_) return wide_->size();
    return 0;
}

DualString& DualString::Append(const char* narrow) {
    if (narrow == nullptr || *narrow == '\0') return *this;
    GetNarrow();
    if (!narrow_) narrow_.emplace();
    narrow_->append(narrow);
    return *this;
}

DualString& DualString::Append(char c) {
    GetNarrow();
    if (!narrow_) narrow_.emplace();
    narrow_->push_back(c);
    return *this;
}

DualString& DualString::Append(const char16_t* wide) {
    if (wide == nullptr || *wide == u'\0') return *this;
    GetWide();
    if (!wide_) wide_.emplace();
    wide_->append(wide);
    return *this;
}

DualString& DualString::Append(const DualString& other) {
    if (other.narrow_) return Append(other.narrow_->c_str());
    if (other.wide_) return Append(other.wide_->c_str());
    return *this;
}

bool DualString::operator==(const DualString& other) const {
    if (Empty() || other.Empty()) return Empty() && other.Empty();
    if (narrow_ && other.narrow_) return *narrow_ == *other.narrow_;
    if (wide_ && other.wide_) return *wide_ == *other.wide_;
    // Mixed forms: convert this string's side to the other's form (a copy: comparing must not
    // change which form either string holds).
    if (other.narrow_) return Utf16ToUtf8(*wide_) == *other.narrow_;
    return Utf8ToUtf16(*narrow_) == *other.wide_;
}

bool DualString::operator==(const char* narrow) const {
    const bool other_empty = narrow == nullptr || *narrow == '\0';
    if (Empty() || other_empty) return Empty() && other_empty;
    if (narrow_) return *narrow_ == narrow;
    return Utf16ToUtf8(*wide_) == narrow;
}

bool DualString::operator==(const char16_t* wide) const {
    const bool other_empty = wide == nullptr || *wide == u'\0';
    if (Empty() || other_empty) return Empty() && other_empty;
    if (wide_) return *wide_ == wide;
    return Utf8ToUtf16(*narrow_) == wide;
}

bool DualString::EndsWith(char c) {
    const char* narrow = GetNarrow();
    return narrow != nullptr && narrow_->back() == c;
}

char DualString::RemoveLast() {
    if (Empty()) return 0;
    GetNarrow();
    char last = narrow_->back();
    narrow_->pop_back();
    return last;
}

DualString operator+(const DualString& text, const char* narrow) {
    DualString result(text);
    result.Append(narrow);
    return result;
}

DualString operator+(const char* narrow, const DualString& text) {
    DualString result(narrow);
    result.Append(text);
    return result;
}

}  // namespace tarnwick
