// Qt's key events in the terms of the terminal's key handling: the virtual keys of the key-down
// path, the terminal key codes of the keys a VT100 or VT240 has and a PC keyboard names
// differently, and the characters of the character path.
#pragma once

#include <QKeySequence>
#include <QString>
#include <Qt>

namespace tarnwick {

// The virtual key (key_handling.h) of a key-down event, or 0 for a key the key-down path does not
// know: cursor keys, Delete, letters, digits, space and the left bracket.
int VirtualKeyFor(int qt_key, Qt::KeyboardModifiers modifiers);

// The terminal key code (vt.h) of a key, or 0: keypad keys (digits, period, minus, comma; plus
// stands for the VT keypad's comma), F1-F4 as PF1-PF4, F6-F20, and the editing keys (Home for
// Find, Insert for Insert Here, End for Select, Page Up and Page Down for Prev and Next Screen).
int TerminalCodeFor(int qt_key, Qt::KeyboardModifiers modifiers);

// The byte a key types (0-255), or -1: the event's text when it is one Latin-1 character, the
// control keys (Return 13, Backspace 8, Tab 9, Escape 27), and Ctrl with the keys that make the
// control codes a toolkit gives no text for (Ctrl+Space and Ctrl+@ 0, Ctrl+[ 27 ... Ctrl+_ 31).
int CharacterFor(int qt_key, Qt::KeyboardModifiers modifiers, const QString& text);

// The key combination of an event as a sequence (keypad flag dropped), for accelerator matching.
QKeySequence SequenceFor(int qt_key, Qt::KeyboardModifiers modifiers);

}  // namespace tarnwick
