#include "ui/key_map.h"

#include "terminal/key_handling.h"
#include "terminal/vt.h"

namespace tarnwick {

namespace {

struct CodeKey {
    int qt_key;
    int code;
};

// Keys of the keypad (with Qt's keypad flag).
constexpr CodeKey kKeypadKeys[] = {
    {Qt::Key_0, kKeyKeypad0},           {Qt::Key_1, kKeyKeypad0 + 1},
    {Qt::Key_2, kKeyKeypad0 + 2},       {Qt::Key_3, kKeyKeypad0 + 3},
    {Qt::Key_4, kKeyKeypad0 + 4},       {Qt::Key_5, kKeyKeypad0 + 5},
    {Qt::Key_6, kKeyKeypad0 + 6},       {Qt::Key_7, kKeyKeypad0 + 7},
    {Qt::Key_8, kKeyKeypad0 + 8},       {Qt::Key_9, kKeyKeypad0 + 9},
    {Qt::Key_Period, kKeyKeypadPeriod}, {Qt::Key_Minus, kKeyKeypadMinus},
    {Qt::Key_Comma, kKeyKeypadComma},   {Qt::Key_Plus, kKeyKeypadComma},  // the VT keypad's comma
};

// Keys a VT100 or VT240 has under another name.
constexpr CodeKey kCodeKeys[] = {
    {Qt::Key_F1, kKeyPF1},     {Qt::Key_F2, kKeyPF1 + 1},  {Qt::Key_F3, kKeyPF1 + 2},
    {Qt::Key_F4, kKeyPF1 + 3}, {Qt::Key_Home, kKeyFind},   {Qt::Key_Insert, kKeyInsert},
    {Qt::Key_End, kKeySelect}, {Qt::Key_PageUp, kKeyPrev}, {Qt::Key_PageDown, kKeyNext},
};

// Control codes from Ctrl and a key, for the keys whose events carry no text.
constexpr CodeKey kControlKeys[] = {
    {Qt::Key_Space, 0},        {Qt::Key_At, 0},         {Qt::Key_2, 0},
    {Qt::Key_BracketLeft, 27}, {Qt::Key_Backslash, 28}, {Qt::Key_BracketRight, 29},
    {Qt::Key_AsciiCircum, 30}, {Qt::Key_6, 30},         {Qt::Key_Underscore, 31},
    {Qt::Key_Minus, 31},       {Qt::Key_Slash, 31},
};

}  // namespace

int VirtualKeyFor(int qt_key, Qt::KeyboardModifiers modifiers) {
    if (modifiers & Qt::KeypadModifier) {
        // With Num Lock off the keypad arrows are cursor keys too.
        if (qt_key < Qt::Key_Left || qt_key > Qt::Key_Down) return 0;
    }
    switch (qt_key) {
        case Qt::Key_Left:
            return vk::kLeft;
        case Qt::Key_Up:
            return vk::kUp;
        case Qt::Key_Right:
            return vk::kRight;
        case Qt::Key_Down:
            return vk::kDown;
        case Qt::Key_Delete:
            return vk::kDelete;
        case Qt::Key_Space:
            return vk::kSpace;
        case Qt::Key_BracketLeft:
            return vk::kLeftBracket;
        case Qt::Key_At:
            return vk::kDigit2;  // Shift+2 on most layouts
        case Qt::Key_AsciiCircum:
            return vk::kDigit6;  // Shift+6
        default:
            break;
    }
    if (qt_key >= Qt::Key_A && qt_key <= Qt::Key_Z) return vk::kLetterA + (qt_key - Qt::Key_A);
    if (qt_key >= Qt::Key_0 && qt_key <= Qt::Key_9) return qt_key;  // same numbers
    return 0;
}

int TerminalCodeFor(int qt_key, Qt::KeyboardModifiers modifiers) {
    if (modifiers & Qt::KeypadModifier) {
        for (const CodeKey& k : kKeypadKeys) {
            if (k.qt_key == qt_key) return k.code;
        }
    }
    for (const CodeKey& k : kCodeKeys) {
        if (k.qt_key == qt_key) return k.code;
    }
    if (qt_key >= Qt::Key_F6 && qt_key <= Qt::Key_F20) return kKeyF6 + (qt_key - Qt::Key_F6);
    return 0;
}

int CharacterFor(int qt_key, Qt::KeyboardModifiers modifiers, const QString& text) {
    switch (qt_key) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return 13;
        case Qt::Key_Backspace:
            return 8;
        case Qt::Key_Tab:
            return 9;
        case Qt::Key_Escape:
            return 27;
        default:
            break;
    }
    if (modifiers & Qt::ControlModifier) {
        if (qt_key >= Qt::Key_A && qt_key <= Qt::Key_Z) return qt_key - Qt::Key_A + 1;
        for (const CodeKey& k : kControlKeys) {
            if (k.qt_key == qt_key) return k.code;
        }
    }
    if (text.size() != 1) return -1;
    const char16_t c = text.at(0).unicode();
    // An 8-bit terminal cannot send what lies beyond Latin-1.
    return c <= 0xFF ? static_cast<int>(c) : -1;
}

QKeySequence SequenceFor(int qt_key, Qt::KeyboardModifiers modifiers) {
    const Qt::KeyboardModifiers kept =
        modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    return QKeySequence(QKeyCombination(kept, static_cast<Qt::Key>(qt_key)));
}

}  // namespace tarnwick
