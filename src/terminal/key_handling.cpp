#include "terminal/key_handling.h"

#include "core/io.h"
#include "terminal/vt.h"

namespace tarnwick {

bool KeyHandler::KeyDown(KeySession* session, int virtual_key, bool shift_down, bool ctrl_down) {
    if (session == nullptr || !session->IsConnected()) return false;
    if (virtual_key == vk::kDelete) {
        session->PushKey(kKeyDelete);
        return true;
    }
    if (virtual_key >= vk::kLeft && virtual_key <= vk::kDown) {
        session->PushKey(virtual_key << 8);
        return true;
    }
    if (!options_.manual_control) return false;
    if (state_ != kArmed && !ctrl_down) return false;
    state_ = kConsumed;
    int code;
    if (virtual_key >= vk::kLetterA && virtual_key <= vk::kLetterZ) {
        code = virtual_key - vk::kLetterA + 1;
    } else if (virtual_key == vk::kLeftBracket) {
        code = 27;
    } else if ((virtual_key == vk::kDigit2 && shift_down) || virtual_key == vk::kSpace) {
        code = 0;
    } else if (virtual_key == vk::kDigit6 && shift_down) {
        code = 30;
    } else {
        return false;  // the state stays consumed
    }
    session->PushKey(code);
    state_ = kIdle;
    // The soft keyboard delivers the character as well; it must not be sent a second time.
    if (options_.soft_control) suppress_ = true;
    return true;
}

bool KeyHandler::Character(KeySession* session, int character, bool ctrl_down) {
    if (suppress_) {
        suppress_ = false;
        state_ = kIdle;
        return true;
    }
    if (options_.manual_control && options_.soft_control &&
        character == options_.soft_control_char) {
        if (state_ == kIdle) {
            state_ = kArmed;
            return true;
        }
        state_ = kIdle;  // typed twice: sent once
    }
    if (options_.manual_control && ctrl_down) return false;
    if (character < 0 || character > 255) return false;
    int code = character;
    if (code == 8) {
        code = kKeyBackspace;
    } else if (code == 127) {
        code = kKeyDelete;
    }
    if (session == nullptr || !session->IsConnected()) return false;
    // With manual control the control codes come only from the key-down path.
    if (options_.manual_control && code < 27 && code != 9 && code != 10 && code != 13) return true;
    session->PushKey(code);
    return true;
}

void KeyHandler::PumpKeys(KeySession* session) {
    if (session == nullptr) return;
    for (;;) {
        const int code = session->PopKey();
        if (code == kNoKey) return;
        IO* terminal = session->GetTerminal();
        if (terminal == nullptr || !terminal->IsLinkUp()) continue;
        switch (code) {
            case kQueuedLeft:
                terminal->KeyInput(kKeyLeft);
                break;
            case kQueuedUp:
                terminal->KeyInput(kKeyUp);
                break;
            case kQueuedRight:
                terminal->KeyInput(kKeyRight);
                break;
            case kQueuedDown:
                terminal->KeyInput(kKeyDown);
                break;
            case kQueuedRawBackspace:
                terminal->SendByte(8);
                break;
            default:
                terminal->KeyInput(code);
                break;
        }
    }
}

}  // namespace tarnwick
