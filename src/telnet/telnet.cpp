#include "telnet/telnet.h"

#include <cstring>
#include <new>
#include <string>

#include "core/session_config.h"

namespace tarnwick {

IO_Telnet::IO_Telnet() : IO(kLayerTelnet, "Telnet") {}

IO_Telnet::~IO_Telnet() = default;

int IO_Telnet::Open(SessionConfig* config) {
    if (lower_ == nullptr) return status::kNoLowerLayer;
    int result = lower_->Open(config);
    AttachConfig(config);
    return result;
}

void IO_Telnet::Close() {
    if (lower_ != nullptr) lower_->Close();
}

int IO_Telnet::Send(const std::uint8_t* data, int length) {
    if (lower_ == nullptr) return status::kNotConnected;
    if (length <= 0 || std::memchr(data, IAC, static_cast<std::size_t>(length)) == nullptr) {
        return lower_->Send(data, length);
    }
    std::unique_ptr<std::uint8_t[]> doubled(new (std::nothrow)
                                                std::uint8_t[2 * static_cast<std::size_t>(length)]);
    if (!doubled) return status::kOutOfMemory;
    int out = 0;
    for (int i = 0; i < length; ++i) {
        doubled[static_cast<std::size_t>(out++)] = data[i];
        if (data[i] == IAC) doubled[static_cast<std::size_t>(out++)] = IAC;
    }
    return lower_->Send(doubled.get(), out);
}

int IO_Telnet::Receive(const std::uint8_t* data, int length) {
    if (length < 0) return status::kNothingToDo;
    auto buffer = std::make_unique<IO_Buffer>(static_cast<std::uint32_t>(length));
    if (length > 0 && buffer->append(data, length) == 0) return status::kOutOfMemory;
    return ReceiveBuffer(std::move(buffer));
}

void IO_Telnet::DeliverUp(const std::uint8_t* data, int length) {
    if (upper_ != nullptr && length > 0) upper_->Receive(data, length);
}

int IO_Telnet::ReceiveBuffer(std::unique_ptr<IO_Buffer>&& buffer) {
    if (!buffer) return status::kNothingToDo;
    std::unique_ptr<IO_Buffer> owned = std::move(buffer);
    const std::uint8_t* bytes = owned->data();
    const int length = static_cast<int>(owned->size());
    // Plain text: the buffer goes up whole and unchanged.
    if (state_ == kData &&
        (length == 0 || std::memchr(bytes, IAC, static_cast<std::size_t>(length)) == nullptr)) {
        return upper_ ? upper_->ReceiveBuffer(std::move(owned)) : status::kOk;
    }
    // Runs of data bytes between commands go up in one call each; the terminal sees the same
    // bytes in the same order as one call per byte would give it.
    int run_start = -1;
    for (int i = 0; i < length; ++i) {
        const std::uint8_t b = bytes[i];
        if (state_ == kData && b != IAC) {
            if (run_start < 0) run_start = i;
            continue;
        }
        if (run_start >= 0) {
            DeliverUp(bytes + run_start, i - run_start);
            run_start = -1;
        }
        switch (state_) {
            case kData:  // b is IAC
                verb_ = kNone;
                state_ = kCommand;
                break;
            case kCommand:
                state_ = kData;
                switch (b) {
                    case SB:
                        subnegotiation_length_ = 0;
                        previous_sb_byte_ = -1;
                        state_ = kSubnegotiation;
                        break;
                    case WILL:
                        verb_ = kWill, state_ = kOption;
                        break;
                    case WONT:
                        verb_ = kWont, state_ = kOption;
                        break;
                    case DO:
                        verb_ = kDo, state_ = kOption;
                        break;
                    case DONT:
                        verb_ = kDont, state_ = kOption;
                        break;
                    case IAC:
                        DeliverUp(&b, 1);
                        break;
                    default:
                        break;  // NOP, GA, SE, DM, AYT, ...: nothing to do
                }
                break;
            case kOption:
                state_ = kData;
                HandleOption(b);
                break;
            case kSubnegotiation: {
                subnegotiation_[static_cast<std::size_t>(subnegotiation_length_++)] = b;
                // Once full, every further byte overwrites the last position.
                if (subnegotiation_length_ == 255) subnegotiation_length_ = 254;
                // The end is the two most recent bytes IAC SE; the previous byte is kept apart
                // because a full buffer no longer holds it.
                const bool ends = b == SE && previous_sb_byte_ == IAC;
                previous_sb_byte_ = b;
                if (ends) {
                    state_ = kData;
                    EndSubnegotiation();
                }
                break;
            }
            default:
                state_ = kData;
                break;
        }
    }
    if (run_start >= 0) DeliverUp(bytes + run_start, length - run_start);
    return status::kOk;
}

void IO_Telnet::SendCommand(std::uint8_t verb, std::uint8_t option) {
    if (lower_ == nullptr) return;
    const std::uint8_t command[3] = {IAC, verb, option};
    lower_->Send(command, 3);  // a failed answer is not fatal; parsing goes on
}

void IO_Telnet::Refuse(std::uint8_t option) {
    SendCommand(verb_ == kWill || verb_ == kWont ? DONT : WONT, option);
}

int IO_Telnet::LocalEcho() const {
    return config_ ? config_->GetInt(setting::local_echo) : 0;
}

void IO_Telnet::SetLocalEcho(int value) {
    if (config_) config_->SetInt(setting::local_echo, value);
}

void IO_Telnet::HandleOption(std::uint8_t option) {
    switch (option) {
        case BINARY:
            if (verb_ == kDo) {
                SendCommand(WILL, BINARY);
                flags_ |= kBinaryFlag;
            } else if (verb_ == kDont) {
                if (binary()) {
                    SendCommand(WONT, BINARY);
                    flags_ &= ~kBinaryFlag;
                }
            } else if (verb_ == kWill) {
                if (!binary()) {
                    SendCommand(DO, BINARY);
                    flags_ |= kBinaryFlag;
                }
            } else {
                Refuse(BINARY);
            }
            break;
        case ECHO:
            if (verb_ == kDo) {
                SendCommand(WILL, ECHO);
                if (LocalEcho() != 0) SetLocalEcho(0);
            } else if (verb_ == kDont) {
                if (LocalEcho() == 0) {
                    SendCommand(WONT, ECHO);
                    SetLocalEcho(1);
                }
            } else if (verb_ == kWill) {
                if (LocalEcho() != 0) {
                    SendCommand(DO, ECHO);
                    SetLocalEcho(0);
                }
            } else {
                Refuse(ECHO);
            }
            break;
        case SGA:
            if (verb_ == kDo || verb_ == kWill) {
                if (!sga()) {
                    SendCommand(verb_ == kDo ? WILL : DO, SGA);
                    flags_ |= kSgaFlag;
                }
            } else if (sga()) {
                SendCommand(verb_ == kDont ? WONT : DONT, SGA);
                flags_ &= ~kSgaFlag;
            }
            break;
        case TTYPE:
            if (verb_ == kDo) SendCommand(WILL, TTYPE);
            break;
        case NAWS:
            if (verb_ == kDo) {
                SendCommand(WILL, NAWS);
                SendWindowSize();
            } else {
                Refuse(NAWS);
            }
            break;
        default:
            Refuse(option);
            break;
    }
}

void IO_Telnet::EndSubnegotiation() {
    if (subnegotiation_[0] == TTYPE) {
        SendTerminalType();
    } else if (config_ != nullptr && config_->GetInt(setting::debug) != 0) {
        DisplayString("Unknown ParseSB feature received\r\n");
    }
}

void IO_Telnet::SendWindowSize() {
    TerminalFacts terminal;  // 80 columns and 24 rows without a terminal above
    QueryTerminal(&terminal);
    // Each count is a 16-bit field (RFC 1073); a byte of 255 in it is doubled like any data byte,
    // so that a width of 255 or more neither ends the subnegotiation early nor wraps around.
    std::string report = {static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(NAWS)};
    for (int count : {terminal.columns, terminal.rows}) {
        for (int shift : {8, 0}) {
            const auto byte = static_cast<char>((count >> shift) & 0xFF);
            report += byte;
            if (static_cast<std::uint8_t>(byte) == IAC) report += byte;
        }
    }
    report += static_cast<char>(IAC);
    report += static_cast<char>(SE);
    SendBytes(report);
}

void IO_Telnet::SendTerminalType() {
    TerminalFacts terminal;
    terminal.type = "unknown";
    QueryTerminal(&terminal);
    std::string name = terminal.type;
    // The reply area has always held 261 bytes of name.
    if (name.size() > 261) name.resize(261);
    std::string reply = {static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(TTYPE),
                         0};
    reply += name;
    reply += static_cast<char>(IAC);
    reply += static_cast<char>(SE);
    SendBytes(reply);
}

void IO_Telnet::SendBytes(const std::string& bytes) {
    if (lower_ != nullptr) {
        (void)lower_->Send(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                           static_cast<int>(bytes.size()));
    }
}

int IO_Telnet::Display(const std::uint8_t* data, int length) {
    return DisplayUp(data, length);
}

int IO_Telnet::Is8BitClean() {
    return binary() ? 1 : 0;
}

int IO_Telnet::Request8Bit(int enable) {
    if (lower_ == nullptr) return 0;
    if (enable && !binary()) {
        SendCommand(DO, BINARY);
    } else if (!enable && binary()) {
        SendCommand(DONT, BINARY);
    }
    return 1;
}

int IO_Telnet::CanSendBreak() {
    return lower_ != nullptr && lower_->IsConnected() ? 1 : 0;
}

int IO_Telnet::SendBreak() {
    if (lower_ == nullptr || !lower_->IsConnected()) return status::kNotConnected;
    const std::uint8_t command[2] = {IAC, BRK};
    return lower_->Send(command, 2);
}

}  // namespace tarnwick
