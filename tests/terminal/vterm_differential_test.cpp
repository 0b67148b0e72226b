// Differential test against libvterm: random streams of the subset both terminals implement
// alike (printable ASCII, CR, LF, BS, HT, cursor movement and addressing, erase in line and
// display, scrolling regions, index and reverse index, colours and attributes, auto-wrap on and
// off) must leave every cell with the same character and colours, and the same lines in the
// scroll-back.
//
// Where the two legitimately differ the generator steers around it, and our behaviour is the
// one the terminal is meant to have:
// - Setting a scrolling region moves our cursor to the region's top-left corner, libvterm's to
//   the home position; erasing the whole display homes our cursor to the region, libvterm's
//   stays. A cursor address follows both, so the streams continue from the same place.
// - Our CUU and CUD stop at the region's margins wherever the cursor stands; libvterm's ignore
//   the margins. They are only sent with the cursor inside the region and a count that stays
//   inside it.
// - With a wrap pending our cursor stands one column past the last one and keeps the wrap pending
//   when it moves up or down (even when auto-wrap was off as the column filled); libvterm keeps
//   it on the last column and forgets the pending wrap when the cursor moves. So HT, vertical
//   moves and auto-wrap changes are not sent while a wrap is pending (BS and CUB are: both count
//   from the last column).
// - SGR 22 resets every rendition here (it is a full reset on this terminal) but only the
//   intensity in libvterm: it is not generated.
// - libvterm copies the pen's attributes into erased cells; ours erase to plain blanks. Erased
//   cells are compared by character and background only.
// - A region whose bottom is not below its top is ignored here (as the VT100 does) but resets
//   the region in libvterm: only valid regions are generated.
// - libvterm also feeds its scroll-back from a region whose top is the first line; ours keeps
//   regions out of the scroll-back. The scroll-back is compared for streams without regions.
#include <gtest/gtest.h>
#include <vterm.h>

#include <random>
#include <string>
#include <vector>

#include "terminal_fixture.h"

namespace tarnwick {
namespace {

struct Reference {
    Reference(int rows, int columns) : vt(vterm_new(rows, columns)) {
        vterm_set_utf8(vt, 0);
        screen = vterm_obtain_screen(vt);
        callbacks.sb_pushline = [](int cols, const VTermScreenCell* cells, void* user) {
            auto* self = static_cast<Reference*>(user);
            std::string line;
            for (int c = 0; c < cols; ++c)
                line.push_back(cells[c].chars[0] ? static_cast<char>(cells[c].chars[0]) : ' ');
            self->pushed.push_back(line);
            return 1;
        };
        vterm_screen_set_callbacks(screen, &callbacks, this);
        vterm_screen_reset(screen, 1);
    }
    ~Reference() { vterm_free(vt); }
    void Feed(const std::string& bytes) { vterm_input_write(vt, bytes.data(), bytes.size()); }
    VTermScreenCell Cell(int c, int r) const {
        VTermScreenCell cell{};
        vterm_screen_get_cell(screen, VTermPos{r, c}, &cell);
        return cell;
    }
    VTermPos Cursor() const {
        VTermPos pos{};
        vterm_state_get_cursorpos(vterm_obtain_state(vt), &pos);
        return pos;
    }

    VTerm* vt;
    VTermScreen* screen;
    VTermScreenCallbacks callbacks{};
    std::vector<std::string> pushed;
};

int ColourIndex(const VTermColor& colour, int fallback) {
    if (VTERM_COLOR_IS_DEFAULT_FG(&colour) || VTERM_COLOR_IS_DEFAULT_BG(&colour)) return fallback;
    if (VTERM_COLOR_IS_INDEXED(&colour)) return colour.indexed.idx;
    return -1;
}

class Generator {
  public:
    Generator(unsigned seed, bool regions) : rng_(seed), regions_(regions) {}

    // The next piece of the stream, chosen with the terminal's current state in view.
    std::string Next(const VT& vt) {
        const int rows = vt.GetRows();
        const int columns = vt.GetColumns();
        const int row = vt.CursorRow();
        const int top = vt.TopMargin();
        const int bottom = vt.BottomMargin();
        const bool pending = vt.CursorColumn() >= columns;
        const bool whole_screen = top == 0 && bottom == rows - 1;
        for (;;) {
            switch (Pick(20)) {
                case 0:
                case 1:
                case 2:
                case 3: {
                    std::string text;
                    const int n = 1 + Pick(Pick(3) == 0 ? 2 * columns : 12);
                    for (int i = 0; i < n; ++i)
                        text.push_back(static_cast<char>(0x20 + Pick(95)));
                    return text;
                }
                case 4:
                    return "\r";
                case 5:
                    if (pending) return "\r\n";
                    return Pick(2) ? "\n" : "\r\n";
                case 6:
                    if (pending) return "\b";
                    return Pick(2) ? "\b" : "\t";
                case 7: {
                    if (pending || row < top || row > bottom) continue;
                    const bool up = Pick(2) == 0;
                    const int room = up ? row - top : bottom - row;
                    if (!whole_screen && room == 0) continue;
                    const int n = 1 + Pick(whole_screen ? rows + 3 : room);
                    // A count of 0 or none means 1.
                    const std::string count = n > 1          ? std::to_string(n)
                                              : Pick(3) == 0 ? ""
                                              : Pick(2)      ? "0"
                                                             : "1";
                    return Csi(count, up ? 'A' : 'B');
                }
                case 8:
                    return Csi(Count(columns), Pick(2) ? 'C' : 'D');
                case 9:
                case 10:
                    return Address(rows, columns);
                case 11:
                    return Csi(std::to_string(Pick(3)), 'K');
                case 12: {
                    const int mode = Pick(3);
                    std::string s = Csi(mode == 0 && Pick(2) ? "" : std::to_string(mode), 'J');
                    if (mode == 2) s += Address(rows, columns);
                    return s;
                }
                case 13: {
                    if (!regions_) continue;
                    std::string s;
                    if (Pick(4) == 0 || rows < 2) {
                        s = "\x1b[r";
                    } else {
                        const int t = 1 + Pick(rows - 1);
                        const int b = t + 1 + Pick(rows - t);
                        s = Csi(std::to_string(t) + ";" + std::to_string(b), 'r');
                    }
                    return s + Address(rows, columns);
                }
                case 14:
                    if (pending) continue;
                    return Pick(2) ? "\x1b"
                                     "D"
                                   : "\x1b"
                                     "E";
                case 15:
                    if (pending) continue;
                    return "\x1bM";
                case 16:
                case 17: {
                    static const int kValues[] = {0,  1,  4,  5,  7,  24, 25, 27, 30, 31, 32, 33,
                                                  34, 35, 36, 37, 40, 41, 42, 43, 44, 45, 46, 47};
                    std::string params;
                    const int n = 1 + Pick(3);
                    for (int i = 0; i < n; ++i) {
                        if (i > 0) params += ';';
                        params += std::to_string(kValues[Pick(sizeof kValues / sizeof kValues[0])]);
                    }
                    return Csi(params, 'm');
                }
                case 18:
                    if (pending) continue;
                    return Pick(3) == 0 ? "\x1b[?7l" : "\x1b[?7h";
                case 19:
                    return "\x1b[m";
                default:
                    continue;
            }
        }
    }

  private:
    int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
    static std::string Csi(const std::string& params, char final) {
        return "\x1b[" + params + final;
    }
    std::string Count(int limit) {
        switch (Pick(4)) {
            case 0:
                return "";
            case 1:
                return "0";
            default:
                return std::to_string(1 + Pick(limit + 3));
        }
    }
    std::string Address(int rows, int columns) {
        switch (Pick(5)) {
            case 0:
                return "\x1b[H";
            case 1:
                return Csi(std::to_string(1 + Pick(rows + 4)), 'H');
            default:
                return Csi(std::to_string(1 + Pick(rows + 2)) + ";" +
                               std::to_string(1 + Pick(columns + 2)),
                           Pick(2) ? 'H' : 'f');
        }
    }

    std::mt19937 rng_;
    bool regions_;
};

::testing::AssertionResult SameScreens(const VT& vt, const Reference& ref,
                                       const std::string& stream) {
    const int rows = vt.GetRows();
    const int columns = vt.GetColumns();
    const int scrollback = vt.GetScrollback();
    auto fail = [&](int c, int r, const std::string& what) {
        std::string printable;
        for (char ch : stream.substr(stream.size() > 300 ? stream.size() - 300 : 0)) {
            printable += ch == 27     ? std::string("\\e")
                         : ch == '\r' ? std::string("\\r")
                         : ch == '\n' ? std::string("\\n")
                                      : std::string(1, ch);
        }
        return ::testing::AssertionFailure()
               << what << " at column " << c << ", row " << r << "; stream tail: " << printable;
    };
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const std::uint32_t ours = vt.GetCell(c, scrollback + r);
            const VTermScreenCell theirs = ref.Cell(c, r);
            const char ref_char = theirs.chars[0] ? static_cast<char>(theirs.chars[0]) : ' ';
            if (cell::Character(ours) != static_cast<std::uint8_t>(ref_char)) {
                return fail(c, r,
                            std::string("character '") + static_cast<char>(cell::Character(ours)) +
                                "' vs '" + ref_char + "'");
            }
            if (cell::Background(ours) != ColourIndex(theirs.bg, 0))
                return fail(c, r, "background");
            if (theirs.chars[0] == 0) continue;  // erased: only the background shows
            if (cell::Foreground(ours) != ColourIndex(theirs.fg, 7))
                return fail(c, r, "foreground");
            const int attributes = (theirs.attrs.bold ? kAttrBold : 0) |
                                   (theirs.attrs.underline ? kAttrUnderline : 0) |
                                   (theirs.attrs.blink ? kAttrBlink : 0) |
                                   (theirs.attrs.reverse ? kAttrReverse : 0);
            if (cell::Attributes(ours) != attributes) return fail(c, r, "attributes");
        }
    }
    const VTermPos cursor = ref.Cursor();
    const int our_column = vt.CursorColumn() < columns ? vt.CursorColumn() : columns - 1;
    if (cursor.row != vt.CursorRow() || cursor.col != our_column) {
        return fail(our_column, vt.CursorRow(),
                    "cursor (theirs " + std::to_string(cursor.col) + "," +
                        std::to_string(cursor.row) + ")");
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult SameScrollback(const VT& vt, const Reference& ref) {
    const int scrollback = vt.GetScrollback();
    const int kept = std::min<int>(scrollback, static_cast<int>(ref.pushed.size()));
    for (int i = 0; i < kept; ++i) {
        const std::string& theirs =
            ref.pushed[ref.pushed.size() - static_cast<std::size_t>(kept - i)];
        std::string ours;
        for (int c = 0; c < vt.GetColumns(); ++c)
            ours.push_back(
                static_cast<char>(cell::Character(vt.GetCell(c, scrollback - kept + i))));
        if (ours != theirs) {
            return ::testing::AssertionFailure()
                   << "scroll-back line " << i << ": '" << ours << "' vs '" << theirs << "'";
        }
    }
    return ::testing::AssertionSuccess();
}

void RunStreams(int rows, int columns, int scrollback, int streams, unsigned seed) {
    for (int s = 0; s < streams; ++s) {
        const bool regions = s % 2 == 0;
        TerminalSettings settings;
        settings.rows = rows;
        settings.columns = columns;
        settings.scrollback = scrollback;
        settings.visual_bell = false;
        MemoryDisplay display;
        VT100 ours(&display, settings);
        Reference theirs(rows, columns);
        Generator generator(seed + static_cast<unsigned>(s), regions);
        std::string stream;
        for (int i = 0; i < 400; ++i) {
            const std::string piece = generator.Next(ours);
            stream += piece;
            ours.Receive(reinterpret_cast<const std::uint8_t*>(piece.data()),
                         static_cast<int>(piece.size()));
            theirs.Feed(piece);
        }
        ASSERT_TRUE(SameScreens(ours, theirs, stream)) << "stream " << s;
        if (!regions) {
            ASSERT_TRUE(SameScrollback(ours, theirs)) << "stream " << s;
        }
        ASSERT_TRUE(testing::DisplayMirrorsModel(ours, display)) << "stream " << s;
    }
}

TEST(VTermDifferentialTest, Standard80x24) {
    RunStreams(24, 80, 50, 150, 1000);
}

TEST(VTermDifferentialTest, SmallScreens) {
    RunStreams(5, 10, 7, 150, 2000);
    RunStreams(2, 3, 1, 100, 3000);
}

TEST(VTermDifferentialTest, WideScreen) {
    RunStreams(60, 200, 100, 40, 4000);
}

}  // namespace
}  // namespace tarnwick
