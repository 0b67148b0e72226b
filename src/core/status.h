// Status codes of the layer chain. 0 is success everywhere; every other value is a failure or a
// refusal that callers treat as a failure. Predicates return 0 or 1 instead.
#pragma once

namespace tarnwick::status {

inline constexpr int kOk = 0;
inline constexpr int kNothingToDo = 1;     // absent or empty text or buffer
inline constexpr int kNotSupported = 2;    // operation not supported by this chain
inline constexpr int kNoPauseHandler = 3;  // no layer handles pause or resume
inline constexpr int kBreakNotSupported = 4;
inline constexpr int kAlreadyPaused = 5;
inline constexpr int kNotPaused = 6;
inline constexpr int kAlreadyOpen = 7;
inline constexpr int kSocketCreateFailed = 8;
inline constexpr int kConnectFailed = 9;
inline constexpr int kReaderStartFailed = 10;
inline constexpr int kNotConnected = 11;  // or no lower layer to send to
inline constexpr int kSendFailed = 12;    // the connection has been closed
inline constexpr int kOutOfMemory = 13;   // also a failed write or a cancelled file choice
inline constexpr int kNoLowerLayer = 14;  // protocol layer opened without a lower layer
inline constexpr int kTransportHasNoLower = 15;
inline constexpr int kProtocolError = 16;  // proxy exchange; SSH: bad server version line
inline constexpr int kDeviceOpenFailed = 17;
inline constexpr int kSsh1VersionTooOld = 18;
inline constexpr int kMacFailed = 19;  // SSH2 MAC, SSH1 CRC
inline constexpr int kBadPacket = 20;  // oversized or corrupted SSH2 packet
inline constexpr int kNoAuthMethodLeft = 21;
inline constexpr int kNoReceivingState = 22;
inline constexpr int kCompressionFailed = 23;
inline constexpr int kDecompressionFailed = 24;
inline constexpr int kFileOpenFailed = 27;
inline constexpr int kSsh1HostKeyRefused = 28;
inline constexpr int kNot8BitClean = 29;
inline constexpr int kFilterNeedsLower = 30;  // transfer filter opened without a lower layer
inline constexpr int kLowerNotConnected = 31;
inline constexpr int kListenerNoTerminal = 32;
inline constexpr int kReaderStopped = 33;  // the connection has ended
inline constexpr int kNetworkUnavailable = 34;

}  // namespace tarnwick::status
