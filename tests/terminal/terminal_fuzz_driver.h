// The shared body of the terminal fuzz targets: a terminal of a size chosen by the input, fed
// the rest of the input in chunks, with key codes, pauses and resets mixed in. After every chunk
// the cursor must stand inside the grid and the region inside the screen; at the end the display
// must mirror the model cell for cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/io.h"
#include "fuzz/fuzz_util.h"
#include "terminal/memory_display.h"
#include "terminal/terminal_settings.h"

namespace tarnwick::fuzzing {

// Takes the replies and answers the control requests the terminal asks about.
class SinkLayer final : public IO {
  public:
    SinkLayer() : IO(kLayerTCPIP, "Sink") {}
    void Close() override {}
    int Send(const std::uint8_t*, int length) override {
        sent += static_cast<std::size_t>(length);
        return 0;
    }
    int Receive(const std::uint8_t*, int) override { return 0; }
    int Display(const std::uint8_t*, int) override { return 0; }
    int Is8BitClean() override { return eight_bit; }
    int GetParity() override { return parity; }
    int GetLineSpeed() override { return speed; }
    int IsLinkUp() override { return 1; }
    std::size_t sent = 0;
    int eight_bit = 1;
    int parity = 0;
    int speed = 9600;
};

template <typename Terminal>
void RunTerminal(const std::uint8_t* data, std::size_t size) {
    if (size < 4 || size > 65536) return;
    TerminalSettings settings;
    settings.rows = 1 + data[0] % 40;
    settings.columns = 1 + data[1] % 140;
    settings.scrollback = data[2] % 50;
    settings.wrap_mode = (data[3] & 1) != 0;
    settings.linefeed_mode = (data[3] & 2) != 0;
    settings.keypad_mode = (data[3] & 4) != 0;
    settings.swap_bs_del = (data[3] & 8) != 0;
    settings.local_echo = (data[3] & 16) != 0;
    settings.visual_bell = false;
    MemoryDisplay display;
    Terminal vt(&display, settings);
    auto* sink = new SinkLayer;
    sink->eight_bit = (data[3] & 32) ? 0 : 1;
    sink->parity = (data[3] >> 6) & 3;
    Check(vt.InsertBelow(sink) == 0);
    vt.Reset(1);
    data += 4;
    size -= 4;

    const int rows = vt.GetRows();
    const int columns = vt.GetColumns();
    std::size_t at = 0;
    while (at < size) {
        // A control byte 0xF5-0xFF at a chunk start picks an action instead of data.
        const std::uint8_t head = data[at];
        if (head >= 0xF8 && at + 1 < size) {
            const std::uint8_t arg = data[at + 1];
            switch (head) {
                case 0xF8:
                    vt.KeyInput(240 + arg % 80);  // key codes around the translated range
                    break;
                case 0xF9:
                    vt.Pause();
                    break;
                case 0xFA:
                    vt.Resume();
                    break;
                case 0xFB:
                    vt.Reset(arg & 1);
                    break;
                case 0xFC:
                    vt.Redraw();
                    break;
                default:
                    vt.KeyInput(arg);
                    break;
            }
            at += 2;
            continue;
        }
        const std::size_t chunk = 1 + head % 64;
        const std::size_t n = chunk < size - at ? chunk : size - at;
        vt.Receive(data + at, static_cast<int>(n));
        at += n;
        Check(vt.CursorRow() >= 0 && vt.CursorRow() < rows);
        Check(vt.CursorColumn() >= 0 && vt.CursorColumn() <= columns);
        Check(vt.TopMargin() >= 0 && vt.TopMargin() < vt.BottomMargin() + 1);
        Check(vt.BottomMargin() < rows);
        Check(display.cursor_column() < columns && display.cursor_row() < display.total_rows());
    }
    vt.Resume();
    const int total = rows + vt.GetScrollback();
    for (int r = 0; r < total; ++r) {
        for (int c = 0; c < columns; ++c)
            Check(vt.GetCell(c, r) == display.Cell(c, r));
    }
    Check(vt.GetCell(columns, 0) == 0 && vt.GetCell(0, total) == 0);
    Check(vt.GetCell(-1, 0) == 0 && vt.GetCell(0, -1) == 0);
}

}  // namespace tarnwick::fuzzing
