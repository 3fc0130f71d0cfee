#include "bridge_process.h"

#include <cstring>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

template <class Visit>
void forEachEntry(const std::string& directory, Visit visit) {
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') visit(std::string(entry->d_name));
        closedir(dir);
    }
}

// Reads the bridge's output as journald would, and throws it away: a pipe
// that the bridge's writes may fill and wait on, not /dev/null, which takes
// anything at no cost.
void drainInBackground(int fd) {
    std::thread([fd] {
        char bytes[65536];
        for (ssize_t got = 1; got > 0 || (got < 0 && errno == EINTR);) got = read(fd, bytes, sizeof bytes);
        close(fd);
    }).detach();
}

}  // namespace

void prepareForManyConnections() {
    const rlimit files{65536, 65536};
    setrlimit(RLIMIT_NOFILE, &files);  // inherited by the bridge
    signal(SIGPIPE, SIG_IGN);
}

pid_t startBridge(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        perror("pipe2");
        exit(1);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(devNull, 0);
        dup2(output[1], 1);
        dup2(output[1], 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(output[1]);
    drainInBackground(output[0]);
    return pid;
}

bool waitForListener(int port) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool listening = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (listening) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

double cpuSeconds(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    forEachEntry(tasks, [&](const std::string& task) {
        std::ifstream stat(tasks + "/" + task + "/schedstat");
        unsigned long long runNs = 0;
        if (stat >> runNs) total += static_cast<double>(runNs) / 1e9;
    });
    return total;
}

long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

int openDescriptors(pid_t pid) {
    int count = 0;
    forEachEntry("/proc/" + std::to_string(pid) + "/fd", [&count](const std::string&) { ++count; });
    return count;
}

long statusFigure(const char* name) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9010);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const char request[] = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (write(fd, request, sizeof request - 1) > 0)
            for (char bytes[4096]; const ssize_t got = read(fd, bytes, sizeof bytes);) {
                if (got < 0) break;
                reply.append(bytes, static_cast<std::size_t>(got));
            }
    }
    close(fd);
    const auto at = reply.find(std::string("\"") + name + "\":");
    return at == std::string::npos ? -1 : strtol(reply.c_str() + at + strlen(name) + 3, nullptr, 10);
}
