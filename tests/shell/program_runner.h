// The real executable, started as a user (or a test harness) starts it: its data
// folder in a temp dir, its single-instance flag in a private runtime folder, the
// page played by a WebSocket client. Each run is wrapped in `timeout`, so a program
// that does not end fails the test instead of hanging it.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ws_test_client.h"

namespace merravine {

using testing::WsTestClient;

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// One run of the program with its stdout read through a pipe.
class Program {
  public:
    /// `wrapper` runs before the program (e.g. "prlimit --nofile=64:64").
    Program(const std::filesystem::path& data_dir, const std::filesystem::path& runtime_dir,
            const std::string& extra = "", const std::string& wrapper = "") {
        const std::string command =
            "echo $$; exec env XDG_RUNTIME_DIR='" + runtime_dir.string() + "' " + wrapper +
            " timeout 120 '" MERRAVINE_EXECUTABLE "' --no-window --data-dir '" + data_dir.string() +
            "' " + extra + " 2>'" + (data_dir / "stderr.txt").string() + "'";
        std::filesystem::create_directories(data_dir);
        out_ = popen(command.c_str(), "r");
        pid_ = Line();
        const std::string first = Line();
        const std::string prefix = "URL: http://127.0.0.1:";
        if (first.rfind(prefix, 0) == 0) {
            url_ = first.substr(5);
            port_ = static_cast<uint16_t>(std::stoi(first.substr(prefix.size())));
            secret_ = first.substr(first.find("#t=") + 3);
        }
    }
    ~Program() {
        if (out_ != nullptr) Kill();
    }

    bool Started() const { return port_ != 0; }
    uint16_t Port() const { return port_; }
    const std::string& Url() const { return url_; }
    bool Connect(WsTestClient& client) const { return client.Connect(port_, secret_); }
    void Terminate() const { std::system(("kill -TERM " + pid_).c_str()); }
    void Kill() const { std::system(("kill -KILL " + pid_ + " 2>/dev/null").c_str()); }

    /// The process id of the running program (a child of `timeout`); empty when gone.
    std::string ChildPid() const {
        std::istringstream children(ReadFile("/proc/" + pid_ + "/task/" + pid_ + "/children"));
        std::string child;
        children >> child;
        return child;
    }
    /// The memory map of the running program.
    std::string Maps() const {
        const std::string child = ChildPid();
        return child.empty() ? "" : ReadFile("/proc/" + child + "/maps");
    }
    /// CPU time the program has used so far, in clock ticks (user + system).
    long CpuTicks() const {
        const std::string stat = ReadFile("/proc/" + ChildPid() + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) return -1;
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        long utime = 0;
        long stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stol(field);
            if (i == 15) stime = std::stol(field);
        }
        return utime + stime;
    }
    /// The program's resident memory in KiB, from /proc.
    long ResidentKiB() const { return StatusKiB("VmRSS:"); }
    /// The program's address space in KiB, from /proc.
    long VirtualKiB() const { return StatusKiB("VmSize:"); }

    /// Reads stdout to its end and returns the exit code (124: it had to be killed by timeout).
    int Wait() {
        while (!Line().empty()) {
        }
        const int status = pclose(out_);
        out_ = nullptr;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    long StatusKiB(const std::string& field) const {
        std::istringstream status(ReadFile("/proc/" + ChildPid() + "/status"));
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
        }
        return -1;
    }

    std::string Line() {
        char buffer[4096];
        if (out_ == nullptr || std::fgets(buffer, sizeof buffer, out_) == nullptr) return "";
        std::string line = buffer;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return line;
    }

    FILE* out_ = nullptr;
    std::string pid_;
    std::string url_;
    std::string secret_;
    uint16_t port_ = 0;
};

inline std::string Ask(WsTestClient& page, const std::string& name,
                       const std::string& args = "[]") {
    static int id = 0;
    ++id;
    const auto reply = page.Call(static_cast<uint64_t>(id), name, args);
    const std::string prefix = "{\"reply\":" + std::to_string(id) + ",";
    if (!reply || reply->rfind(prefix, 0) != 0) return "no reply";
    return reply->substr(prefix.size(), reply->size() - prefix.size() - 1);
}

}  // namespace merravine
