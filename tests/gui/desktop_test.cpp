// The program on a real X display (Xvfb) as a person uses it: the welcome window, a second start
// that hands its session file to the window already open, a command typed with real X key events
// into a Telnet session to busybox telnetd, its effect on the server, screenshots compared with
// the committed references (docs/screenshots), and Quit with its question.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/test_util.h"
#include "support/x_display.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

const std::string kProgram = std::string(TARNWICK_BINARY_DIR) + "/bin/tarnwick";
const std::string kReferences = std::string(TARNWICK_SOURCE_DIR) + "/docs/screenshots/";

// Pixels that may differ between a screenshot and its reference: one character cell of the
// built-in 6 x 8 font, where the cursor blinks.
constexpr int kCursorCellPixels = 6 * 8;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

// How many pixels of two PNG files differ; -1 when they cannot be compared (size, missing file).
long DifferingPixels(const std::string& a, const std::string& b) {
    const std::string out =
        testing::RunCommand("compare -metric AE '" + a + "' '" + b + "' null: 2>&1");
    char* end = nullptr;
    const long count = std::strtol(out.c_str(), &end, 10);
    return end != out.c_str() ? count : -1;
}

class DesktopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(x_.Start()) << "Xvfb (package xvfb) did not start";
        config_ = work_.File("config");
        runtime_ = work_.File("runtime");
        std::filesystem::create_directories(config_);
        std::filesystem::create_directories(runtime_);
        // A folder others could read would be made private at start-up, with a notice that
        // covers the window.
        chmod(config_.c_str(), 0700);
        chmod(runtime_.c_str(), 0700);
        // The remote shell: a fixed prompt in a folder of the test.
        login_ = work_.File("login.sh");
        testing::WriteFile(login_, "#!/bin/sh\ncd '" + work_.path() + "'\nPS1='lab$ ' HOME='" +
                                       work_.path() + "' TERM=vt100 exec /bin/sh\n");
        chmod(login_.c_str(), 0755);
    }

    std::vector<std::string> ProgramArguments(const std::vector<std::string>& files) {
        std::vector<std::string> argv = {"env", "DISPLAY=" + x_.display(),
                                         "TARNWICK_CONFIG_DIR=" + config_,
                                         "XDG_RUNTIME_DIR=" + runtime_, kProgram};
        argv.insert(argv.end(), files.begin(), files.end());
        return argv;
    }

    // Waits until the window looks like the reference (all but one cell); on a time-out the last
    // screenshot is kept beside the build for a look. A missing reference is written from the
    // screenshot, and the test fails so that a person looks at it before it is committed.
    void ExpectLooksLike(const std::string& window, const std::string& name) {
        const std::string shot = std::string(TARNWICK_BINARY_DIR) + "/screenshot-" + name;
        const std::string reference = kReferences + name;
        long differing = -1;
        const bool have_reference = std::filesystem::exists(reference);
        const bool same = WaitUntil(
            [&] {
                x_.Run("import -window " + window + " '" + shot + "'");
                if (!have_reference) return true;
                differing = DifferingPixels(reference, shot);
                return differing >= 0 && differing <= kCursorCellPixels;
            },
            10s);
        if (!have_reference || std::getenv("TARNWICK_UPDATE_SCREENSHOTS") != nullptr) {
            std::filesystem::create_directories(kReferences);
            std::filesystem::copy_file(shot, reference,
                                       std::filesystem::copy_options::overwrite_existing);
            FAIL() << "wrote the reference " << reference << ": look at it, then commit it";
        }
        EXPECT_TRUE(same) << name << ": " << differing << " pixels differ from the reference; see "
                          << shot;
    }

    testing::Xvfb x_;
    testing::TempDir work_;
    std::string config_;
    std::string runtime_;
    std::string login_;
};

TEST_F(DesktopTest, WelcomeWindowThenATelnetSessionTypedWithRealKeys) {
    testing::InetdTelnetServer server(login_);
    const std::string session_file = work_.File("lab.tks");
    testing::WriteFile(session_file, "IO_TELNET\r\nversion: 2\r\nhostname: 127.0.0.1\r\nportnum: " +
                                         std::to_string(server.port()) +
                                         "\r\nrows: 24\r\ncolumns: 80\r\n");

    testing::ChildProcess program;
    ASSERT_TRUE(program.Start(ProgramArguments({}), work_.File("program.log")));
    const std::string window = x_.WaitForWindow("Unconnected Terminal");
    ASSERT_FALSE(window.empty()) << testing::ReadFile(work_.File("program.log"));
    ExpectLooksLike(window, "welcome.png");

    // A second start hands its file to the running window and ends.
    testing::ChildProcess second;
    ASSERT_TRUE(second.Start(ProgramArguments({session_file})));
    EXPECT_TRUE(WaitUntil([&] { return !second.Running(); }, 10s));
    ASSERT_EQ(x_.WaitForWindow("Telnet: 127.0.0.1"), window);

    // A command typed with real key events reaches the shell on the server.
    const std::string marker = work_.File("typed-by-x");
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(work_.File("program.log")); }, 1s));
    x_.Run("xdotool windowfocus --sync " + window);
    x_.Run(
        "xdotool type --delay 5 'touch typed-by-x; clear; printf \"\\033[1;33mready\\033[m\\n\"'");
    x_.Run("xdotool key Return");
    EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(marker); }, 10s))
        << "the typed command did not run on the server";
    ExpectLooksLike(window, "session.png");

    // Quit asks while the session is up; Yes ends the program.
    x_.Run("xdotool key alt+q");
    const std::string question = x_.WaitForWindow("Really quit");
    ASSERT_FALSE(question.empty());
    x_.Run("xdotool windowfocus --sync " + question);
    x_.Run("xdotool key alt+y");
    EXPECT_TRUE(WaitUntil([&] { return !program.Running(); }, 10s)) << "the program did not end";
}

// Connect's dialogs, Global Preferences and the key manager, as a person meets them: real key
// events pick the Telnet kind and type the host and port, the session reaches busybox telnetd, a
// larger font in the preferences redraws the window in larger cells. Each dialog is kept as a
// screenshot beside the build (docs/screenshots shows them).
TEST_F(DesktopTest, ConnectTypedWithRealKeysThenALargerFontFromThePreferences) {
    testing::InetdTelnetServer server(login_);
    testing::ChildProcess program;
    ASSERT_TRUE(program.Start(ProgramArguments({}), work_.File("program.log")));
    const std::string window = x_.WaitForWindow("Unconnected Terminal");
    ASSERT_FALSE(window.empty()) << testing::ReadFile(work_.File("program.log"));
    auto focus_id = [&](const std::string& id) { x_.Run("xdotool windowfocus --sync " + id); };
    auto focus = [&](const std::string& title) {
        const std::string id = x_.WaitForWindow(title);
        if (!id.empty()) focus_id(id);
        return id;
    };
    auto keep = [&](const std::string& id, const std::string& name) {
        x_.Run("import -window " + id + " '" + std::string(TARNWICK_BINARY_DIR) + "/screenshot-" +
               name + "'");
    };

    focus_id(window);
    x_.Run("xdotool key alt+n");
    const std::string chooser = x_.WaitForWindow("New Connection");
    ASSERT_FALSE(chooser.empty());
    focus_id(chooser);
    // The list finds an entry by its first letters.
    x_.Run("xdotool type --delay 20 'New Telnet'");
    x_.Run("xdotool key Return");
    const std::string form = focus("Telnet Parameters");
    ASSERT_FALSE(form.empty()) << "the Telnet kind was not configured";
    x_.Run("xdotool type --delay 5 127.0.0.1");
    x_.Run("xdotool key Tab");
    x_.Run("xdotool type --delay 5 " + std::to_string(server.port()));
    keep(form, "connection-dialog.png");
    x_.Run("xdotool key Return");
    ASSERT_EQ(x_.WaitForWindow("Telnet: 127.0.0.1"), window);
    const std::string marker = work_.File("typed-by-x");
    focus_id(window);
    x_.Run("xdotool type --delay 5 'touch typed-by-x'");
    x_.Run("xdotool key Return");
    EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(marker); }, 10s))
        << "the typed command did not run on the server";

    // The Edit menu from the menu bar: Global Preferences is its item above the last one.
    const std::string before = x_.Run("xdotool getwindowgeometry " + window);
    x_.Run("xdotool mousemove --window " + window + " 50 10 click 1");
    x_.Run("xdotool key Up Up Return");
    const std::string sheet = focus("Global Preferences");
    ASSERT_FALSE(sheet.empty());
    x_.Run("xdotool key alt+f");
    keep(sheet, "preferences.png");
    x_.Run("xdotool key Tab Tab End Return");
    EXPECT_TRUE(
        WaitUntil([&] { return x_.Run("xdotool getwindowgeometry " + window) != before; }, 10s))
        << "the window did not take the larger cells";

    x_.Run("xdotool mousemove --window " + window + " 50 10 click 1");
    x_.Run("xdotool key m");
    const std::string keys = focus("Key Manager");
    ASSERT_FALSE(keys.empty());
    keep(keys, "key-manager.png");
    x_.Run("xdotool key Escape");
    EXPECT_TRUE(WaitUntil([&] { return x_.WaitForWindow("Key Manager", 100ms).empty(); }, 10s));
}

}  // namespace
}  // namespace tarnwick
