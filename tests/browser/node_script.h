// Runs a playwright script under node and answers its steps: the script
// writes "step NAME" on stdout and waits for "ok" or "fail why" on stdin,
// so that the test binary plays the program's side between page checks.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace node_script {

inline bool exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

inline std::string node_modules() {
    const char* env = std::getenv("VELDRUM_NODE_MODULES");
    if (env != nullptr && env[0] != '\0') return env;
    std::string in_build = std::string(VELDRUM_BINARY_DIR) + "/node/node_modules";
    std::string in_tree = std::string(VELDRUM_SOURCE_DIR) + "/tests/browser/node_modules";
    return exists(in_build + "/playwright-core") || !exists(in_tree) ? in_build : in_tree;
}

inline std::string chromium() {
    const char* env = std::getenv("CHROMIUM");
    return env != nullptr ? env : "/usr/bin/chromium";
}

// Why the browser tests cannot run here, or "" when they can.
inline std::string missing() {
    if (!exists(chromium())) return "no " + chromium() + " (apt-get install chromium)";
    if (!exists(node_modules() + "/playwright-core"))
        return "no playwright-core in " + node_modules() + " (npm install --prefix " +
               VELDRUM_BINARY_DIR + "/node playwright-core@1.65.1)";
    return "";
}

struct Outcome {
    std::string failure;  // the first failed step or a stray script line
    bool done = false;    // the script reached its "done" step
    bool exited_ok = false;
};

// Runs tests/browser/<script> with the given arguments; play(step) returns
// "" when the step went well, else why not.
inline Outcome run(const std::string& script, std::vector<std::string> args,
                   const std::function<std::string(const std::string&)>& play) {
    Outcome out;
    int to_node[2], from_node[2];
    if (::pipe2(to_node, O_CLOEXEC) != 0) return {"pipe failed", false, false};
    if (::pipe2(from_node, O_CLOEXEC) != 0) {
        ::close(to_node[0]);
        ::close(to_node[1]);
        return {"pipe failed", false, false};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_node[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_node[1], 1);
    args.insert(args.begin(), std::string(VELDRUM_SOURCE_DIR) + "/tests/browser/" + script);
    args.insert(args.begin(), "node");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::setenv("NODE_PATH", node_modules().c_str(), 1);
    ::setenv("CHROMIUM", chromium().c_str(), 1);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "node", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_node[0]);
    ::close(from_node[1]);
    FILE* in = ::fdopen(from_node[0], "r");
    FILE* to = ::fdopen(to_node[1], "w");
    if (rc != 0 || in == nullptr || to == nullptr) {
        if (in != nullptr) std::fclose(in); else ::close(from_node[0]);
        if (to != nullptr) std::fclose(to); else ::close(to_node[1]);
        if (rc == 0) ::waitpid(pid, nullptr, 0);
        return {"cannot start node", false, false};
    }
    char line[512];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.rfind("step ", 0) != 0) {
            if (out.failure.empty()) out.failure = "script: " + text;
            break;
        }
        std::string step = text.substr(5);
        std::string why = play(step);
        std::fprintf(to, "%s\n", why.empty() ? "ok" : ("fail " + why).c_str());
        std::fflush(to);
        if (!why.empty() && out.failure.empty()) out.failure = step + ": " + why;
        if (step == "done") out.done = true;
    }
    std::fclose(to);
    std::fclose(in);
    int status = 0;
    ::waitpid(pid, &status, 0);
    out.exited_ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return out;
}

}  // namespace node_script
