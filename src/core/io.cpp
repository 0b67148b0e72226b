#include "core/io.h"

#include <cstring>

#include "core/session_config.h"

namespace tarnwick {

IO::IO(int type, const char* name) : type_(type) {
    if (name != nullptr) {
        name_ = name;
        has_name_ = true;
    }
}

IO::~IO() {
    // Destroy the chain below first; the layer below must not find a dangling upper pointer.
    IO* lower = lower_;
    lower_ = nullptr;
    if (lower != nullptr) {
        lower->upper_ = nullptr;
        delete lower;
    }
    AttachConfig(nullptr);
}

void IO::AttachConfig(SessionConfig* config) {
    if (config == config_) return;
    if (config != nullptr) config->AddHolder();
    if (config_ != nullptr) config_->RemoveHolder();
    config_ = config;
}

void IO::SetSession(Session* session) {
    for (IO* layer = this; layer != nullptr; layer = layer->lower_)
        layer->session_ = session;
}

IO* IO::FindTerminal() {
    for (IO* layer = this; layer != nullptr; layer = layer->upper_) {
        if (layer->type_ == kLayerVT) return layer;
    }
    return nullptr;
}

bool IO::QueryTerminal(TerminalFacts* facts) {
    return upper_ != nullptr && upper_->QueryTerminal(facts);
}

std::size_t IO::SendBacklog() {
    return lower_ != nullptr ? lower_->SendBacklog() : 0;
}

int IO::Open(SessionConfig* config) {
    AttachConfig(config);
    return status::kNotSupported;
}

int IO::IsLinkUp() {
    return lower_ ? (lower_->IsLinkUp() ? 1 : 0) : 0;
}

int IO::IsConnected() {
    return lower_ ? (lower_->IsConnected() ? 1 : 0) : 0;
}

int IO::SetUpper(IO* layer) {
    upper_ = layer;
    return status::kOk;
}

int IO::SetLower(IO* layer) {
    lower_ = layer;
    return status::kOk;
}

int IO::InsertBelow(IO* layer) {
    IO* old_lower = lower_;
    if (old_lower != nullptr) {
        int result = old_lower->SetUpper(layer);
        if (result != status::kOk) return result;
    }
    int result = SetLower(layer);
    if (result != status::kOk) return result;
    result = layer->SetUpper(this);
    if (old_lower != nullptr && result == status::kOk) return layer->SetLower(old_lower);
    return result;
}

IO* IO::RemoveBelow() {
    IO* removed = lower_;
    if (removed == nullptr) return nullptr;
    IO* next = removed->GetLower();
    if (next != nullptr) next->SetUpper(this);
    SetLower(next);
    removed->SetUpper(nullptr);
    removed->SetLower(nullptr);
    removed->Close();
    return removed;
}

int IO::KeyInput(int) {
    return status::kNotSupported;
}

int IO::SendByte(char c) {
    return Send(reinterpret_cast<const std::uint8_t*>(&c), 1);
}

int IO::SendString(const char* text) {
    if (text == nullptr) return status::kNothingToDo;
    return Send(reinterpret_cast<const std::uint8_t*>(text), static_cast<int>(std::strlen(text)));
}

int IO::SendBuffer(std::unique_ptr<IO_Buffer>&& buffer) {
    if (!buffer || buffer->size() == 0) return status::kNothingToDo;
    std::unique_ptr<IO_Buffer> owned = std::move(buffer);
    return Send(owned->data(), static_cast<int>(owned->size()));
}

int IO::ReceiveByte(char c) {
    return Receive(reinterpret_cast<const std::uint8_t*>(&c), 1);
}

int IO::ReceiveBuffer(std::unique_ptr<IO_Buffer>&& buffer) {
    if (!buffer || buffer->size() == 0) return status::kNothingToDo;
    std::unique_ptr<IO_Buffer> owned = std::move(buffer);
    return Receive(owned->data(), static_cast<int>(owned->size()));
}

int IO::DisplayString(const char* text) {
    if (text == nullptr) return status::kNothingToDo;
    return Display(reinterpret_cast<const std::uint8_t*>(text),
                   static_cast<int>(std::strlen(text)));
}

int IO::DisplayBuffer(std::unique_ptr<IO_Buffer>&& buffer) {
    if (!buffer || buffer->size() == 0) return status::kNothingToDo;
    std::unique_ptr<IO_Buffer> owned = std::move(buffer);
    return Display(owned->data(), static_cast<int>(owned->size()));
}

int IO::DisplayUp(const std::uint8_t* data, int length) {
    return upper_ ? upper_->Display(data, length) : status::kOk;
}

int IO::Pause() {
    return lower_ ? lower_->Pause() : status::kNoPauseHandler;
}

int IO::Resume() {
    return lower_ ? lower_->Resume() : status::kNoPauseHandler;
}

int IO::Is8BitClean() {
    return lower_ ? (lower_->Is8BitClean() ? 1 : 0) : 1;
}

int IO::Request8Bit(int) {
    return status::kNotSupported;
}

int IO::GetParity() {
    return lower_ ? lower_->GetParity() : 0;
}

int IO::GetLineSpeed() {
    return lower_ ? lower_->GetLineSpeed() : 38400;
}

int IO::CanSendBreak() {
    return lower_ ? lower_->CanSendBreak() : 0;
}

int IO::SendBreak() {
    return lower_ ? lower_->SendBreak() : status::kBreakNotSupported;
}

int IO::Contains(IO* layer) {
    for (IO* l = this; l != nullptr; l = l->lower_) {
        if (l == layer) return 1;
    }
    return 0;
}

int IO::Pump() {
    return lower_ ? lower_->Pump() : status::kNotSupported;
}

int IO::IsTerminal() {
    return 0;
}

int IO::FileTransfer(int, const char*) {
    return 0;
}

int IO::ReservedRequest() {
    return status::kNotSupported;
}

}  // namespace tarnwick
