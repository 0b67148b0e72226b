// The console's SSH2 form filled in through tmux, shared by the console tests that log in with it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ssh_sshd.h"
#include "support/tmux.h"

namespace tarnwick::testing {

struct Ssh2FormAnswers {
    std::string key_file;  // empty: no key file
    bool agent_forwarding = false;
    std::string env;  // put before the program, as "NAME=value ..." or "-u NAME"
};

// Starts the console program and fills in the SSH2 form for the test account on the server's
// port, up to the question about more settings.
inline void StartAndFillTheSsh2Form(Tmux& tmux, const std::string& config_dir, int port,
                                    const Ssh2FormAnswers& answers = {}) {
    tmux.StartConsole(config_dir, "", answers.env + " HOME=" + config_dir);
    ASSERT_TRUE(tmux.WaitFor("Welcome to Tarnwick")) << tmux.Screen();
    ASSERT_TRUE(tmux.Choose("2  New SSH2 Connection")) << tmux.Screen();
    ASSERT_TRUE(tmux.WaitFor("Hostname:")) << tmux.Screen();
    tmux.Line("127.0.0.1");
    ASSERT_TRUE(tmux.WaitFor("Username:")) << tmux.Screen();
    tmux.Line(kTestUser);
    ASSERT_TRUE(tmux.WaitFor("Port: 22")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line(std::to_string(port));
    ASSERT_TRUE(tmux.WaitFor("Cert (key file, empty for none):")) << tmux.Screen();
    if (answers.key_file.empty()) {
        tmux.Keys("Enter");
    } else {
        tmux.Line(answers.key_file);
    }
    ASSERT_TRUE(tmux.WaitFor("Allow agent forwarding [y/N]")) << tmux.Screen();
    if (answers.agent_forwarding) {
        tmux.Keys("y");
        ASSERT_TRUE(tmux.WaitFor("Allow it only for servers you trust")) << tmux.Screen();
        tmux.Keys("Enter");
    } else {
        tmux.Keys("n");
    }
    ASSERT_TRUE(tmux.WaitFor("Debug Messages [y/N]")) << tmux.Screen();
    tmux.Keys("n");
}

}  // namespace tarnwick::testing
