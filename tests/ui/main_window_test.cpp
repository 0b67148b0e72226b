// The main window on the offscreen platform, driven with key and mouse events as a person would:
// the menus' enabling rules against the session's state, the session submenu with more sessions
// than it lists, the accelerators, the parentheses of a disconnected session, keys reaching a
// real socket as the terminal modes say, selection across the history with the mouse, paste, the
// input buffer, and every built-in font drawn through the view pixel for pixel.
#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <filesystem>
#include <memory>

#include "core/preferences.h"
#include "core/session_config.h"
#include "frontend/builtin_fonts.h"
#include "frontend/view_display.h"
#include "platform/scripted_ui.h"
#include "platform/ui_dispatcher.h"
#include "session/deferred_deletion.h"
#include "support/loopback_peer.h"
#include "support/test_util.h"
#include "terminal/vt.h"
#include "ui/dialog_driver.h"
#include "ui/input_buffer.h"
#include "ui/qt_user_interface.h"
#include "ui/terminal_view.h"

namespace tarnwick {
namespace {

using namespace command;

constexpr int kWaitMs = 5000;

// What a Telnet client sent, without its option negotiation.
std::string WithoutNegotiation(const std::string& bytes) {
    std::string data;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b != 255) {
            data.push_back(bytes[i]);
        } else if (i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) == 255) {
            data.push_back(bytes[++i]);
        } else if (i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) == 250) {
            const std::size_t end = bytes.find("\xff\xf0", i);
            i = end == std::string::npos ? bytes.size() : end + 1;
        } else {
            i += 2;  // a command with its option
        }
    }
    return data;
}

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Preferences& preferences = Preferences::Instance();
        preferences.ResetToDefaults();
        preferences.SetInt(pref::EnableICM, 0);
        preferences.Apply();
        BindDispatcherToQt();
        window_ = std::make_unique<MainWindow>();
        window_->Start();
        window_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
        view()->setFocus();
    }
    void TearDown() override {
        for (int fd : peers_)
            close(fd);
        window_->SetQuitConfirmed();
        window_.reset();
        DeferredDeletion::Instance().DestroyAll();
        UiDispatcher::Instance().Unbind();
        SetCurrentFont(nullptr);
    }

    TerminalView* view() { return window_->view(); }
    Session* current() { return window_->sessions().Current(); }
    std::string ScreenLine(int row) {
        auto* d = static_cast<ViewDisplay*>(current()->GetDisplay());
        return d->cells().ScreenLine(row);
    }
    bool Enabled(int command) {
        window_->RefreshActions();
        return window_->ActionFor(command)->isEnabled();
    }

    // A Telnet session to a socket of the test's own; returns the server's end.
    int OpenTelnetSession() {
        const std::string file = config_.File("peer" + std::to_string(peers_.size()) + ".tks");
        testing::WriteFile(file, "IO_TELNET\r\nversion: 2\r\nhostname: 127.0.0.1\r\nportnum: " +
                                     std::to_string(listener_.port()) +
                                     "\r\nrows: 24\r\ncolumns: 80\r\n");
        window_->OpenFileRequest(file);
        const int fd = listener_.Accept();
        if (fd >= 0) peers_.push_back(fd);
        // Whatever the client negotiates first is not part of what a test types.
        testing::ReadSome(fd, 1 << 16, 200);
        return fd;
    }
    std::string Received(int fd, std::size_t count) {
        std::string data;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (data.size() < count && std::chrono::steady_clock::now() < deadline) {
            data += WithoutNegotiation(testing::ReadSome(fd, 1, 100));
        }
        return data;
    }
    void LocalSession(const std::string& text) {
        auto* config = new SessionConfig();
        config->SetInt(setting::rows, 24);
        config->SetInt(setting::columns, 80);
        config->SetInt(setting::local_echo, 1);
        window_->sessions().CreateSession(config);
        if (IO* terminal = current()->GetTerminal()) terminal->SendString(text.c_str());
        window_->Relayout();
    }

    testing::IsolatedConfig config_;
    ScriptedUi ui_;
    testing::LoopbackListener listener_;
    std::vector<int> peers_;
    std::unique_ptr<MainWindow> window_;
};

TEST_F(MainWindowTest, MenusFollowTheStateOfTheCurrentSession) {
    // The welcome session: nothing is up.
    EXPECT_EQ(ScreenLine(0), "Welcome to Tarnwick\xae v2.06!");
    EXPECT_TRUE(Enabled(kConnect));
    EXPECT_TRUE(Enabled(kOpenSession));
    for (int command : {kDisconnect, kSaveSession, kEscape, kPF1, kPF1 + 3, kBreak, kPaste, kCopy,
                        kCopyAndPaste, kSendScp, kReceiveScp}) {
        EXPECT_FALSE(Enabled(command)) << command;
    }
    // Features still to come are listed and never enabled.
    for (int command : {kCapture, kReceiveXmodem, kSendXmodem, kSendAscii}) {
        EXPECT_NE(window_->ActionFor(command), nullptr) << command;
        EXPECT_FALSE(Enabled(command)) << command;
    }
    // The dialogs of the window are always there.
    for (int command : {kGlobalPreferences, kHostKeyManager, kInputBuffer, kAbout}) {
        EXPECT_TRUE(Enabled(command)) << command;
    }
    // Accelerators are shown beside their items.
    EXPECT_EQ(window_->ActionFor(kQuit)->text(), "Quit\tAlt+Q");
    EXPECT_EQ(window_->ActionFor(kPF1 + 2)->text(), "PF3\tCtrl+Alt+3");

    ASSERT_GE(OpenTelnetSession(), 0);
    EXPECT_EQ(window_->windowTitle(), QString::fromUtf8("Telnet: 127.0.0.1 - Tarnwick\xc2\xae"));
    for (int command : {kDisconnect, kSaveSession, kEscape, kPF1, kPF1 + 3, kBreak}) {
        EXPECT_TRUE(Enabled(command)) << command;
    }
    // SCP needs SSH2 below the terminal.
    EXPECT_FALSE(Enabled(kSendScp));
    QApplication::clipboard()->clear();
    EXPECT_FALSE(Enabled(kPaste));
    QApplication::clipboard()->setText(QStringLiteral("text"));
    EXPECT_TRUE(Enabled(kPaste));
    EXPECT_FALSE(Enabled(kCopyAndPaste));  // no selection yet

    // Alt+O is the window's: it toggles the check mark and types nothing.
    EXPECT_FALSE(window_->ActionFor(kKeepCursorOnscreen)->isChecked());
    QTest::keyClick(view(), Qt::Key_O, Qt::AltModifier);
    window_->RefreshActions();
    EXPECT_TRUE(window_->ActionFor(kKeepCursorOnscreen)->isChecked());
    QTest::keyClick(view(), Qt::Key_O, Qt::AltModifier);
    window_->RefreshActions();
    EXPECT_FALSE(window_->ActionFor(kKeepCursorOnscreen)->isChecked());
}

TEST_F(MainWindowTest, ElevenSessionsListTenAndAltZeroSelectsTheTenth) {
    for (int i = 2; i <= 11; ++i)
        LocalSession("session " + std::to_string(i) + "\r\n");
    QCoreApplication::processEvents();
    std::vector<Session*> all = window_->sessions().Sessions();
    ASSERT_EQ(all.size(), 11u);
    int entries = 0;
    for (QAction* action : window_->SessionMenu()->actions())
        entries += action->data().toInt() >= kFirstSession ? 1 : 0;
    EXPECT_EQ(entries, 10);
    EXPECT_EQ(window_->ActionFor(kLastSession)->text(), "(Unconnected Terminal)\tAlt+0");

    QTest::keyClick(view(), Qt::Key_0, Qt::AltModifier);
    EXPECT_EQ(current(), all[9]);
    EXPECT_EQ(ScreenLine(0), "session 10");
    window_->RefreshActions();
    EXPECT_TRUE(window_->ActionFor(kLastSession)->isChecked());
    EXPECT_FALSE(window_->ActionFor(kFirstSession)->isChecked());
    QTest::keyClick(view(), Qt::Key_1, Qt::AltModifier);
    EXPECT_EQ(current(), all[0]);
    // Alt+Space: the next session.
    QTest::keyClick(view(), Qt::Key_Space, Qt::AltModifier);
    EXPECT_EQ(current(), all[1]);
}

TEST_F(MainWindowTest, ADisconnectedSessionIsShownInParentheses) {
    const int fd = OpenTelnetSession();
    ASSERT_GE(fd, 0);
    window_->ActionFor(kDisconnect)->trigger();
    QCoreApplication::processEvents();
    // Opening the session purged the welcome session, which was not up: it is the first entry.
    ASSERT_NE(window_->ActionFor(kFirstSession), nullptr);
    EXPECT_EQ(window_->ActionFor(kFirstSession)->text(), "(Telnet: 127.0.0.1)\tAlt+1");
    EXPECT_EQ(window_->windowTitle(), QString::fromUtf8("(Telnet: 127.0.0.1) - Tarnwick\xc2\xae"));
    EXPECT_TRUE(testing::SeesEndOfStream(fd));
    // A title that already begins with a parenthesis is left as it is.
    LocalSession("");
    window_->sessions().Current()->Disconnect();
    QCoreApplication::processEvents();
    ASSERT_NE(window_->ActionFor(kFirstSession + 1), nullptr);
    EXPECT_EQ(window_->ActionFor(kFirstSession + 1)->text(), "(Unconnected Terminal)\tAlt+2");
}

TEST_F(MainWindowTest, KeysReachTheHostAsTheTerminalModesSay) {
    const int fd = OpenTelnetSession();
    ASSERT_GE(fd, 0);
    QTest::keyClicks(view(), "ls");
    QTest::keyClick(view(), Qt::Key_Return);
    EXPECT_EQ(Received(fd, 3), "ls\r");
    QTest::keyClick(view(), Qt::Key_Up);
    EXPECT_EQ(Received(fd, 3), "\x1b[A");
    QTest::keyClick(view(), Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(view(), Qt::Key_Tab);
    QTest::keyClick(view(), Qt::Key_Backspace);
    QTest::keyClick(view(), Qt::Key_Delete);
    EXPECT_EQ(Received(fd, 4), "\x03\t\x08\x7f");
    // Alt with a key that is no accelerator: ESC first.
    QTest::keyClick(view(), Qt::Key_X, Qt::AltModifier, 0);
    EXPECT_EQ(Received(fd, 2), "\x1bx");
    // PF keys from the function keys and from the Keys menu's accelerators.
    QTest::keyClick(view(), Qt::Key_F1);
    QTest::keyClick(view(), Qt::Key_2, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(Received(fd, 6), "\x1bOP\x1bOQ");

    // The host switches on the application modes of the cursor keys and the keypad.
    ASSERT_TRUE(testing::WriteAll(fd, "\x1b[?1h\x1b=ok"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ScreenLine(0) == "ok"; }, kWaitMs));
    QTest::keyClick(view(), Qt::Key_Up);
    QTest::keyClick(view(), Qt::Key_5, Qt::KeypadModifier);
    QTest::keyClick(view(), Qt::Key_Plus, Qt::KeypadModifier);
    EXPECT_EQ(Received(fd, 9), "\x1bOA\x1bOu\x1bOl");
}

TEST_F(MainWindowTest, MouseSelectionAcrossTheHistoryIsCopiedAndPasteTypesCarriageReturns) {
    const int fd = OpenTelnetSession();
    ASSERT_GE(fd, 0);
    std::string lines;
    for (int i = 0; i < 30; ++i)
        lines += "line " + std::to_string(i) + "   \r\n";
    ASSERT_TRUE(testing::WriteAll(fd, lines));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ScreenLine(22) == "line 29"; }, kWaitMs));
    auto* d = view()->display();
    const int cw = d->cell_width();
    const int ch = d->cell_height();
    // Scroll up so that the last lines of the history show at the top.
    view()->verticalScrollBar()->setValue((d->scrollback() - 2) * ch);
    QCoreApplication::processEvents();
    // From column 5 of the first row shown (history: "line 5") to column 5 of the fourth
    // (the screen: "line 8").
    const QPoint from(5 * cw + 1, ch / 2);
    const QPoint to(5 * cw + 1, 3 * ch + ch / 2);
    QTest::mousePress(view()->viewport(), Qt::LeftButton, {}, from);
    QTest::mouseMove(view()->viewport(), to);
    QTest::mouseRelease(view()->viewport(), Qt::LeftButton, {}, to);
    const std::string expected = "5\r\nline 6\r\nline 7\r\nline 8";
    EXPECT_EQ(d->SelectionText(), expected);
    // Selected cells show inverted: the blank after "line 6" is white, the one before the
    // selection's start stays black.
    QTest::qWait(40);
    const QImage shot = view()->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shot.pixel(10 * cw, ch + ch / 2), qRgb(255, 255, 255));
    EXPECT_EQ(shot.pixel(4 * cw, ch / 2), qRgb(0, 0, 0));
    EXPECT_TRUE(Enabled(kCopy));
    EXPECT_TRUE(Enabled(kCopyAndPaste));
    QTest::keyClick(view(), Qt::Key_C, Qt::AltModifier);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), expected);

    QApplication::clipboard()->setText(QStringLiteral("echo a\r\necho b\nx"));
    QTest::keyClick(view(), Qt::Key_V, Qt::AltModifier);
    EXPECT_EQ(Received(fd, 15), "echo a\recho b\rx");
}

TEST_F(MainWindowTest, InputBufferSendsItsLineWithACarriageReturn) {
    const int fd = OpenTelnetSession();
    ASSERT_GE(fd, 0);
    window_->ActionFor(kInputBuffer)->trigger();
    InputBuffer* buffer = window_->input_buffer();
    ASSERT_TRUE(buffer->isVisible());
    QTest::keyClicks(buffer->field(), "uname -a");
    QTest::keyClick(buffer->field(), Qt::Key_Return);
    EXPECT_EQ(Received(fd, 9), "uname -a\r");
    EXPECT_TRUE(buffer->field()->text().isEmpty());
    QTest::keyClick(buffer->field(), Qt::Key_Escape);
    EXPECT_FALSE(buffer->isVisible());
}

TEST_F(MainWindowTest, ConnectCancelledOpensAnUnconnectedTerminalThatSaysSo) {
    // The chooser comes up as a modal dialog: cancel it as a person would.
    QTimer::singleShot(0, [] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (dialog != nullptr) QTest::keyClick(dialog, Qt::Key_Escape);
    });
    QTest::keyClick(view(), Qt::Key_N, Qt::AltModifier);
    // The welcome session, not up, was purged first.
    EXPECT_EQ(window_->sessions().Sessions().size(), 1u);
    EXPECT_EQ(ScreenLine(0), "Canceled.");
}

TEST_F(MainWindowTest, ConnectAsksTheKindsFieldsInPlainDialogsAndConnects) {
    // The chooser: pick the Telnet kind and configure it.
    QTimer::singleShot(0, [this] {
        auto* chooser = QApplication::activeModalWidget();
        ASSERT_NE(chooser, nullptr);
        auto* list = chooser->findChild<QListWidget*>();
        const auto found = list->findItems(QStringLiteral("Telnet"), Qt::MatchContains);
        ASSERT_FALSE(found.isEmpty());
        list->setCurrentItem(found.first());
        // The form: host and port, then OK.
        QTimer::singleShot(0, [this] {
            auto* form = QApplication::activeModalWidget();
            ASSERT_NE(form, nullptr);
            EXPECT_EQ(form->windowTitle(), "Telnet Parameters");
            const auto lines = form->findChildren<QLineEdit*>();
            ASSERT_GE(lines.size(), 2);
            lines[0]->setText(QStringLiteral("127.0.0.1"));
            lines[1]->setText(QString::number(listener_.port()));
            form->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
        for (auto* button : chooser->findChildren<QPushButton*>()) {
            if (button->text() == "&Configure") button->click();
        }
    });
    QTest::keyClick(view(), Qt::Key_N, Qt::AltModifier);
    const int fd = listener_.Accept();
    ASSERT_GE(fd, 0);
    peers_.push_back(fd);
    EXPECT_EQ(window_->windowTitle(), QString::fromUtf8("Telnet: 127.0.0.1 - Tarnwick\xc2\xae"));
    // The accepted settings became the kind's default file.
    EXPECT_TRUE(std::filesystem::exists(config_.File("DEFAULT_TELNET.tks")));
}

TEST_F(MainWindowTest, ASystemFontRedrawsEverySessionAndTheQuitQuestionKeepsTheWindow) {
    const int fd = OpenTelnetSession();
    ASSERT_GE(fd, 0);
    LocalSession("second\r\n");
    Preferences::Instance().SetWide(pref::Font, u"DejaVu Sans Mono");
    Preferences::Instance().SetInt(pref::FontSize, 11);
    window_->ApplyFont();
    const Font* font = CurrentFont();
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(font->FontType(), Font::kSystemType);
    EXPECT_EQ(font->GetName(), "DejaVu Sans Mono");
    EXPECT_EQ(font->GetSize(), 11);
    EXPECT_GT(font->GetCharHeight(), 8);
    // Every session takes the new cell and draws all its rows again.
    for (Session* session : window_->sessions().Sessions()) {
        auto* d = static_cast<ViewDisplay*>(session->GetDisplay());
        EXPECT_EQ(d->cell_width(), font->GetCharWidth());
        EXPECT_EQ(d->cell_height(), font->GetCharHeight());
        EXPECT_TRUE(d->RowMarked(d->scrollback()));
    }
    // The text shows: the first cell of "second" has lit pixels.
    QTest::qWait(40);
    auto* d = view()->display();
    const int top = d->scrollback() * d->cell_height() - view()->verticalScrollBar()->value();
    const QImage shot = view()->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    int lit = 0;
    for (int y = 0; y < d->cell_height(); ++y)
        for (int x = 0; x < d->cell_width(); ++x)
            lit += shot.pixel(x, top + y) != qRgb(0, 0, 0) ? 1 : 0;
    EXPECT_GT(lit, 3);
    // Same preferences again: the font is kept.
    window_->ApplyFont();
    EXPECT_EQ(CurrentFont(), font);

    // Closing the window while a session is up asks first; No keeps it open.
    ui_.QueueYesNo(false);
    EXPECT_FALSE(window_->close());
    EXPECT_TRUE(window_->isVisible());
    ASSERT_EQ(ui_.CountOf(ScriptedUi::Kind::kYesNo), 1);
    EXPECT_EQ(ui_.shown().back().caption, "Really quit?");
    ui_.QueueYesNo(true);
    EXPECT_TRUE(window_->close());
    EXPECT_TRUE(testing::SeesEndOfStream(fd));
}

TEST_F(MainWindowTest, GlobalPreferencesRedrawEverySessionInTheNewFontAndColours) {
    Preferences::SetApplyHooks({nullptr, [this] { window_->ApplyFont(); }, nullptr});
    testing::DialogWatchdog watchdog(10000);
    LocalSession("second\r\n");
    Preferences::Instance().SetInt(pref::RED, 0x102030);
    Preferences::Instance().Apply();
    const std::uint32_t red = SharedPalette()[1];
    const BuiltinFont& before = BuiltinFontFor(Preferences::Instance().GetInt(pref::FontSize));
    testing::When("Global Preferences", [](QWidget* sheet) {
        testing::Mnemonic(sheet, "Fonts");
        testing::Mnemonic(sheet, "Font size:");
        testing::Key(Qt::Key_End);  // the largest built-in font
        testing::Mnemonic(sheet, "Colors");
        testing::Mnemonic(sheet, "Reset colors to defaults");
        testing::Key(Qt::Key_Return);
    });
    window_->ActionFor(kGlobalPreferences)->trigger();
    Preferences::SetApplyHooks({});
    EXPECT_NE(SharedPalette()[1], red) << "the default colours are in use";
    const Font* font = CurrentFont();
    ASSERT_NE(font, nullptr);
    EXPECT_NE(font->GetCharHeight(), before.cell_height);
    ASSERT_EQ(window_->sessions().Sessions().size(), 2u);
    for (Session* session : window_->sessions().Sessions()) {
        auto* d = static_cast<ViewDisplay*>(session->GetDisplay());
        EXPECT_EQ(d->cell_width(), font->GetCharWidth());
        EXPECT_EQ(d->cell_height(), font->GetCharHeight());
        EXPECT_TRUE(d->RowMarked(d->scrollback())) << "drawn again";
    }
}

// Every built-in font, through the view onto the screen: a letter and a line-drawing character
// appear exactly as the font's bitmap says.
class BuiltinFontViewTest : public MainWindowTest, public ::testing::WithParamInterface<int> {};

TEST_P(BuiltinFontViewTest, GlyphsOfBothBanksArriveOnScreenPixelForPixel) {
    const int font_size = GetParam();
    Preferences::Instance().SetInt(pref::FontSize, font_size);
    window_->ApplyFont();
    const BuiltinFont& row = BuiltinFontFor(font_size);
    ASSERT_EQ(CurrentFont()->GetCharWidth(), row.cell_width);
    ASSERT_EQ(CurrentFont()->GetCharHeight(), row.cell_height);
    // Bold red "A", then "l" of the graphics set (a corner), then the cursor away from them.
    window_->sessions().Current()->GetTerminal()->SendString(
        "\x1b[H\x1b[2J\x1b[1;31mA\x1b[m\x1b(0l\x1b(B\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return ScreenLine(0).size() == 2; }, kWaitMs));
    QTest::qWait(40);  // a frame
    const QImage shot = view()->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    // Where the screen's first row is in the view.
    const int top =
        view()->display()->scrollback() * row.cell_height - view()->verticalScrollBar()->value();
    ASSERT_GE(top, 0);
    const auto font = CreateBuiltinFont(font_size);
    font->UsePalette(SharedPalette());
    struct Expect {
        std::uint8_t character;
        int attributes, foreground, set;
    } cells[] = {{'A', kAttrBold, kRed, kSetASCII}, {'l', 0, kWhite, kSetSpecialGraphics}};
    for (int i = 0; i < 2; ++i) {
        std::vector<std::uint32_t> pixels(
            static_cast<std::size_t>(row.cell_width * row.cell_height));
        font->DrawGlyph({pixels.data(), row.cell_width, row.cell_height, row.cell_width},
                        cells[i].character, cells[i].attributes, kBlack, cells[i].foreground,
                        cells[i].set, 0, 0);
        int lit = 0;
        for (int y = 0; y < row.cell_height; ++y) {
            for (int x = 0; x < row.cell_width; ++x) {
                const std::uint32_t p = pixels[static_cast<std::size_t>(y * row.cell_width + x)];
                const QRgb expected =
                    qRgb(static_cast<int>(p & 0xFF), static_cast<int>((p >> 8) & 0xFF),
                         static_cast<int>((p >> 16) & 0xFF));
                lit += p != 0 ? 1 : 0;
                ASSERT_EQ(shot.pixel(i * row.cell_width + x, top + y), expected)
                    << "font " << font_size << " cell " << i << " pixel " << x << "," << y;
            }
        }
        EXPECT_GT(lit, 0) << "font " << font_size << " cell " << i << " is empty";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFontSize, BuiltinFontViewTest,
                         ::testing::Values(4, 5, 6, 7, 8, 9, 12, 24));

TEST(FileDialogAnswers, TheDefaultExtensionCompletesANameWithoutOne) {
    EXPECT_EQ(WithDefaultExtension("/home/a/lab.", "tks"), "/home/a/lab.tks");
    EXPECT_EQ(WithDefaultExtension("/home/a/lab", "tks"), "/home/a/lab.tks");
    EXPECT_EQ(WithDefaultExtension("/home/a.b/lab.txt", "tks"), "/home/a.b/lab.txt");
    EXPECT_EQ(WithDefaultExtension("/home/a/lab", ""), "/home/a/lab");
    FileDialogRequest request;
    request.filters = {{"Text (*.txt)", "*.txt"}, {"All Files", "*.*"}};
    EXPECT_EQ(FilterString(request).toStdString(), "Text (*.txt);;All Files (*.*)");
}

}  // namespace
}  // namespace tarnwick
