// PEM armour: the "-----BEGIN <label>-----" ... "-----END <label>-----" blocks of certificate and
// key files, with their optional RFC 1421 header lines, the body decoded from base64.
//
//   PemReader reader(fileText);
//   PemBlock block;
//   PemStatus status;
//   while ((status = reader.Next(&block)) == PemStatus::kOk) {
//       if (block.label != "CERTIFICATE") continue;
//       ... block.body holds the DER ...
//   }
//   if (status != PemStatus::kEnd)
//       Report("line " + std::to_string(reader.line()) + ": " + PemStatusText(status));
//
//   const std::string* dek = block.Header("DEK-Info");   // "DES-EDE3-CBC,0123456789ABCDEF"
//
// Text before, between and after blocks is ignored (explanatory text, "Bag Attributes" and the
// like); lines may end in LF or CR LF. A block has:
//   - its BEGIN line, blanks and tabs allowed around the marker;
//   - optionally header lines "Name: value" (a line that starts with a blank or tab continues the
//     previous value), ended by an empty line;
//   - the base64 body over any number of lines;
//   - its END line, whose label must equal the BEGIN line's.
// Everything the text could make large is capped: the text itself, the number of blocks and the
// number of header lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/secure.h"

namespace tarnwick {

enum class PemStatus {
    kOk,             // a block was read
    kEnd,            // no further block in the text (a text without any block is not armoured)
    kTooLarge,       // the text is longer than kPemMaxText
    kTooManyBlocks,  // more than kPemMaxBlocks blocks
    kBadMarker,      // a line starting with "-----BEGIN" that is not a well-formed BEGIN line
    kUnterminated,   // the text ends, or another block begins, before the END line
    kLabelMismatch,  // the END line's label differs from the BEGIN line's
    kBadHeader,      // a malformed header line, too many headers, or no empty line after them
    kBadBase64,      // the body is not valid base64
};

// A sentence for the user, such as "the END line's label does not match the BEGIN line".
const char* PemStatusText(PemStatus status);

// Certificate bundles hold a few hundred blocks in a few hundred kilobytes.
inline constexpr std::size_t kPemMaxText = 16 * 1024 * 1024;
inline constexpr std::size_t kPemMaxBlocks = 4096;
inline constexpr std::size_t kPemMaxHeaders = 64;

struct PemHeader {
    std::string name;   // as written, such as "Proc-Type"
    std::string value;  // without the blanks around it; continuation lines unfolded (RFC 822)
};

struct PemBlock {
    std::string label;               // such as "CERTIFICATE" or "RSA PRIVATE KEY"
    std::vector<PemHeader> headers;  // in the order of the file
    SecureBytes body;                // the decoded body (key files hold secrets)
    std::size_t line = 0;            // the line of the BEGIN marker, counting from 1

    // The value of the first header of that name (compared ignoring ASCII case), or nullptr.
    const std::string* Header(std::string_view name) const;
};

class PemReader {
  public:
    // The text is borrowed and must outlive the reader.
    explicit PemReader(std::string_view text) : text_(text) {}

    // Reads the next block into block (replacing its contents). Returns kOk, kEnd when no block
    // is left, or an error; after an error every further call returns the same error.
    [[nodiscard]] PemStatus Next(PemBlock* block);

    // The line (counting from 1) where the last call stopped: for an error, the offending line
    // (for a body that is not base64, the BEGIN line of its block).
    std::size_t line() const { return line_; }

  private:
    // The next line without its line end; false at the end of the text.
    bool NextLine(std::string_view* line);
    PemStatus Fail(PemStatus status);
    PemStatus ReadHeaders(PemBlock* block);

    std::string_view text_;
    std::size_t at_ = 0;
    std::size_t line_ = 0;
    std::size_t blocks_ = 0;
    PemStatus error_ = PemStatus::kOk;
};

// Every block of text, in order; kOk (with blocks possibly empty) or the first error.
[[nodiscard]] PemStatus PemReadAll(std::string_view text, std::vector<PemBlock>* blocks);

// The armour of body: BEGIN line, the headers and an empty line if there are any, the body in
// base64 lines of 64 characters, END line; every line ends in "\n".
std::string PemWrite(std::string_view label, const void* body, std::size_t length,
                     const std::vector<PemHeader>& headers = {});

}  // namespace tarnwick
