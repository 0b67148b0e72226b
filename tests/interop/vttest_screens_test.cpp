// vttest against our terminal: vttest runs in a pseudo-terminal whose output feeds our VT100 and
// whose input gets the terminal's replies and our key bytes. The harness walks the cursor-movement
// and screen-feature tests and checks what the screens show.
//
// The terminal keeps its column count (column mode is a flag, the grid never resizes), so
// vttest's 132-column screens are drawn into 80 columns and are not checked; neither are the
// parts of the screens after them that a real terminal would have cleared on the column change.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

#include "core/io.h"
#include "terminal/memory_display.h"
#include "terminal/vt100.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

// The bottom of the chain: writes go to the pseudo-terminal's master side.
class PtyLayer final : public IO {
  public:
    explicit PtyLayer(int fd) : IO(kLayerSerial, "pty"), fd_(fd) {}
    void Close() override {}
    int IsLinkUp() override { return 1; }
    int IsConnected() override { return 1; }
    int Send(const std::uint8_t* data, int length) override {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (length > 0) {
            const ssize_t n = write(fd_, data, static_cast<std::size_t>(length));
            if (n > 0) {
                data += n;
                length -= static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return status::kSendFailed;
            if (Clock::now() > deadline) return status::kSendFailed;
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 50);
        }
        return 0;
    }
    int Receive(const std::uint8_t*, int) override { return 0; }
    int Display(const std::uint8_t*, int) override { return 0; }

  private:
    int fd_;
};

class Vttest {
  public:
    Vttest() {
        TerminalSettings settings;
        settings.rows = 24;
        settings.columns = 80;
        settings.scrollback = 0;
        settings.visual_bell = false;
        vt_ = std::make_unique<VT100>(&display_, settings);
    }
    ~Vttest() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }

    ::testing::AssertionResult Start() {
        if (access("/usr/bin/vttest", X_OK) != 0) {
            return ::testing::AssertionFailure()
                   << "vttest is missing: install it with tools/setup test (see README.md)";
        }
        winsize size{24, 80, 0, 0};
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ < 0) return ::testing::AssertionFailure() << "forkpty failed";
        if (pid_ == 0) {
            setenv("TERM", "vt100", 1);
            execl("/usr/bin/vttest", "vttest", "24x80.132", static_cast<char*>(nullptr));
            _exit(127);
        }
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        if (vt_->InsertBelow(new PtyLayer(master_)) != 0) {
            return ::testing::AssertionFailure() << "could not link the pty";
        }
        return WaitForText("Enter choice number");
    }

    // Feeds vttest's output to the terminal until new output has come, the screen shows text and
    // the output has been quiet for a moment; or until the time is up.
    ::testing::AssertionResult WaitForText(const std::string& text,
                                           std::chrono::seconds limit = std::chrono::seconds(15)) {
        const auto deadline = Clock::now() + limit;
        auto last_output = Clock::now();
        bool seen = false;
        bool output = false;
        while (Clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                std::uint8_t buffer[4096];
                const ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    vt_->Receive(buffer, static_cast<int>(n));
                    last_output = Clock::now();
                    output = true;
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    break;  // vttest has gone
                }
            }
            if (output && !seen) seen = ScreenHas(text);
            if (seen && Clock::now() - last_output > std::chrono::milliseconds(150)) {
                return ::testing::AssertionSuccess();
            }
        }
        std::string screen;
        for (int r = 0; r < 24; ++r)
            screen += "\n|" + Line(r);
        return ::testing::AssertionFailure()
               << "\"" << text << "\" did not appear; screen:" << screen;
    }

    // Types text as keys: it takes the terminal's key path down to vttest.
    void Type(const std::string& text) { vt_->SendString(text.c_str()); }
    ::testing::AssertionResult Next(const std::string& expect) {
        Type("\r");
        return WaitForText(expect);
    }

    bool ScreenHas(const std::string& text) const {
        for (int r = 0; r < 24; ++r) {
            if (Line(r).find(text) != std::string::npos) return true;
        }
        return false;
    }
    std::string Line(int r) const { return vt_->ScreenLine(r); }
    // Columns from..from+n of row r, padded with blanks.
    std::string Part(int r, int from, int n) const {
        std::string line = Line(r);
        line.resize(80, ' ');
        return line.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(n));
    }
    char At(int c, int r) const { return static_cast<char>(cell::Character(Cell(c, r))); }
    std::uint32_t Cell(int c, int r) const { return vt_->GetCell(c, vt_->GetScrollback() + r); }

  private:
    MemoryDisplay display_;
    std::unique_ptr<VT100> vt_;
    pid_t pid_ = -1;
    int master_ = -1;
};

TEST(VttestTest, CursorMovements) {
    Vttest v;
    ASSERT_TRUE(v.Start());
    v.Type("1");
    ASSERT_TRUE(v.Next("free position around it"));

    // A border of *'s and +'s, and a frame of E's around the text.
    EXPECT_EQ(v.Line(0), std::string(80, '*'));
    EXPECT_EQ(v.Line(23), std::string(80, '*'));
    EXPECT_EQ(v.Line(1), "*" + std::string(78, '+') + "*");
    EXPECT_EQ(v.Line(22), "*" + std::string(78, '+') + "*");
    for (int r = 2; r <= 21; ++r) {
        EXPECT_EQ(v.Part(r, 0, 2), "*+") << r;
        EXPECT_EQ(v.Part(r, 78, 2), "+*") << r;
    }
    EXPECT_EQ(v.Part(8, 10, 60), std::string(60, 'E'));
    EXPECT_EQ(v.Part(15, 10, 60), std::string(60, 'E'));
    for (int r = 9; r <= 14; ++r) {
        EXPECT_EQ(v.Part(r, 2, 9), std::string(8, ' ') + "E") << r;
        EXPECT_EQ(v.Part(r, 68, 10), " E        ") << r;
    }
    EXPECT_EQ(v.Part(9, 11, 58), std::string(58, ' '));
    EXPECT_EQ(v.Part(10, 12, 29), "The screen should be cleared,");
    EXPECT_EQ(v.Part(14, 11, 58), std::string(58, ' '));

    // The same frame at 132 columns does not fit: not checked.
    ASSERT_TRUE(v.Next("Push <RETURN>"));

    // Autowrap mixed with control characters: letters in order down both margins. The pass at
    // 132 columns addresses columns past the screen, which the terminal limits to the last
    // column, so it comes out the same.
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(v.Next("Push <RETURN>"));
        for (int r = 2; r <= 19; ++r) {
            const char left = static_cast<char>('I' + (r - 2));
            EXPECT_EQ(v.Part(r, 0, 80), left + std::string(78, ' ') + static_cast<char>(left + 32))
                << r << " pass " << pass;
        }
    }

    // Cursor-control characters inside escape sequences.
    ASSERT_TRUE(v.Next("four identical lines"));
    for (int r = 3; r <= 6; ++r)
        EXPECT_EQ(v.Line(r), "A B C D E F G H I") << r;

    // Leading zeros in escape sequences.
    ASSERT_TRUE(v.Next("Test of leading zeros"));
    EXPECT_EQ(v.Line(3), "This is a correct sentence");

    ASSERT_TRUE(v.Next("Enter choice number"));
}

TEST(VttestTest, ScreenFeatures) {
    Vttest v;
    ASSERT_TRUE(v.Start());
    v.Type("2");

    // Wrap-around mode: three full lines of stars.
    ASSERT_TRUE(v.Next("Test of WRAP AROUND mode setting"));
    for (int r = 0; r <= 2; ++r)
        EXPECT_EQ(v.Line(r), std::string(80, '*')) << r;
    EXPECT_EQ(v.Line(3), "");

    // Tab setting and resetting: two identical lines of stars every six columns.
    ASSERT_TRUE(v.Next("Test of TAB setting/resetting"));
    std::string stars;
    for (int c = 6; c < 80; c += 6)
        stars += std::string(5, ' ') + "*";
    EXPECT_EQ(v.Line(0), " " + stars);
    EXPECT_EQ(v.Line(1), " " + stars);

    // Column-mode screens: 132 (not checked), then 80, for a light and a dark background.
    for (const std::string background : {"light", "dark"}) {
        ASSERT_TRUE(v.Next("This is 132 column mode, " + background));
        ASSERT_TRUE(v.Next("This is 80 column mode, " + background));
        const std::string text = "This is 80 column mode, " + background + " background.";
        for (int r = 2; r <= 19; ++r) {
            EXPECT_EQ(v.Part(r, 0, r + static_cast<int>(text.size())),
                      std::string(static_cast<std::size_t>(r), ' ') + text)
                << r;
        }
    }

    // Scrolling regions, soft and jump: a two-line region, then the whole screen.
    for (const std::string kind : {"Soft", "Jump"}) {
        ASSERT_TRUE(v.Next(kind + " scroll down region [12..13]"));
        ASSERT_TRUE(v.Next(kind + " scroll down region [1..24]"));
        EXPECT_EQ(v.Line(0), "Push <RETURN>");
        for (int r = 1; r <= 23; ++r) {
            EXPECT_EQ(v.Line(r),
                      kind + " scroll down region [1..24] size 24 Line " + std::to_string(30 - r))
                << r;
        }
    }

    // Origin mode.
    ASSERT_TRUE(v.Next("Origin mode test"));
    EXPECT_EQ(v.Line(23), "Origin mode test. This line should be at the bottom of the screen.");
    EXPECT_EQ(v.Line(22),
              "This line should be the one above the bottom of the screen. Push <RETURN>");
    ASSERT_TRUE(v.Next("This line should be at the top of the screen"));
    EXPECT_EQ(v.Line(0), "This line should be at the top of the screen. Push <RETURN>");
    EXPECT_EQ(v.Line(23), "Origin mode test. This line should be at the bottom of the screen.");

    // Graphic renditions.
    ASSERT_TRUE(v.Next("Graphic rendition test pattern"));
    struct Rendition {
        int row, column, attributes;
        std::string text;
    } renditions[] = {
        {3, 0, 0, "vanilla"},
        {3, 39, kAttrBold, "bold"},
        {5, 5, kAttrUnderline, "underline"},
        {7, 0, kAttrBlink, "blink"},
        {11, 0, kAttrReverse, "negative"},
        {17, 44, kAttrBold | kAttrUnderline | kAttrBlink | kAttrReverse,
         "bold underline blink negative"},
    };
    for (const Rendition& r : renditions) {
        EXPECT_EQ(v.Part(r.row, r.column, static_cast<int>(r.text.size())), r.text);
        EXPECT_EQ(cell::Attributes(v.Cell(r.column, r.row)), r.attributes) << r.text;
    }
    ASSERT_TRUE(v.Next("Light background"));

    // Save and restore cursor: ten characters of each flavour and a block of A's.
    ASSERT_TRUE(v.Next("SAVE/RESTORE CURSOR"));
    for (int r = 0; r <= 3; ++r)
        EXPECT_EQ(v.Line(r), "AAAAA") << r;
    EXPECT_EQ(v.Line(4), "");
    const int flavours[] = {0, kAttrBold, kAttrUnderline, kAttrBlink, kAttrReverse};
    for (int f = 0; f < 5; ++f) {
        const int column = 11 + 12 * f;
        EXPECT_EQ(v.Part(9, column, 10), std::string(10, '*'));
        EXPECT_EQ(v.Part(11, column, 10), std::string(10, 'q'));
        for (int row : {9, 11, 13, 15}) {
            EXPECT_EQ(cell::Attributes(v.Cell(column, row)), flavours[f]) << row << " " << column;
        }
        EXPECT_EQ(cell::Set(v.Cell(column, 11)), kSetSpecialGraphics);
        EXPECT_EQ(cell::Set(v.Cell(column, 9)), kSetASCII);
    }
    ASSERT_TRUE(v.Next("Enter choice number"));
}

}  // namespace
}  // namespace tarnwick
