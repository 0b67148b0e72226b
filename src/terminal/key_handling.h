// The view side of the keyboard, written once for every front end: it turns key-down and
// character events into key codes queued on the current session, implements the soft control
// key, and pumps queued codes into the session's terminal. The front ends map their toolkit's
// events to the virtual keys below (the numbering follows the classic PC virtual-key codes, which
// the queue codes of the cursor keys are built from).
#pragma once

#include <cstdint>

namespace tarnwick {

class IO;

namespace vk {
inline constexpr int kSpace = 0x20;
inline constexpr int kLeft = 0x25;
inline constexpr int kUp = 0x26;
inline constexpr int kRight = 0x27;
inline constexpr int kDown = 0x28;
inline constexpr int kDelete = 0x2E;
inline constexpr int kDigit2 = 0x32;
inline constexpr int kDigit6 = 0x36;
inline constexpr int kLetterA = 0x41;  // letters are 'A' to 'Z'
inline constexpr int kLetterZ = 0x5A;
inline constexpr int kLeftBracket = 219;
}  // namespace vk

// Codes the view queues that the pump translates: a cursor key's virtual key shifted left by 8,
// and a raw backspace byte that bypasses the key translation.
inline constexpr int kQueuedLeft = vk::kLeft << 8;
inline constexpr int kQueuedUp = vk::kUp << 8;
inline constexpr int kQueuedRight = vk::kRight << 8;
inline constexpr int kQueuedDown = vk::kDown << 8;
inline constexpr int kQueuedRawBackspace = 0x0800;
// What PopKey answers when the queue is empty.
inline constexpr int kNoKey = 0x7FFF;

// What key handling needs from a session; the session implements it over its own key queue.
class KeySession {
  public:
    virtual ~KeySession() = default;
    virtual int IsConnected() = 0;
    virtual int IsLinkUp() = 0;
    // Queues a code (kept as a 16-bit value).
    virtual void PushKey(int code) = 0;
    // The oldest queued code, or kNoKey when there is none.
    virtual int PopKey() = 0;
    // The session's terminal, or nullptr.
    virtual IO* GetTerminal() = 0;
};

// The keyboard preferences the view follows.
struct KeyboardOptions {
    bool manual_control = false;  // the view composes control codes itself
    bool soft_control = false;    // a typed character acts as a Ctrl prefix
    int soft_control_char = 126;  // that character
};

class KeyHandler {
  public:
    enum SoftControlState : int { kIdle = 0, kArmed = 1, kConsumed = 2 };

    explicit KeyHandler(KeyboardOptions options = {}) : options_(options) {}

    void SetOptions(const KeyboardOptions& options) { options_ = options; }
    const KeyboardOptions& options() const { return options_; }

    // A key went down. True when handled; false lets the toolkit produce a character event.
    bool KeyDown(KeySession* session, int virtual_key, bool shift_down, bool ctrl_down);
    // A character arrived (0-255; anything above cannot be sent by an 8-bit terminal and is left
    // to the toolkit). True when handled.
    bool Character(KeySession* session, int character, bool ctrl_down);

    // Hands every queued code of the session to its terminal (while the link is up; codes popped
    // otherwise are dropped).
    static void PumpKeys(KeySession* session);

    int soft_control_state() const { return state_; }
    bool suppress_next_character() const { return suppress_; }

  private:
    KeyboardOptions options_;
    int state_ = kIdle;
    bool suppress_ = false;
};

}  // namespace tarnwick
