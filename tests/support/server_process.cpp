#include "tests/support/server_process.h"
#include "tests/support/child_life.h"

#ifdef PELVORAN_SERVER_COMMANDS_FORKED
#include "server/cli/command_line.h"
#endif

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pelvoran::test {

using Clock = std::chrono::steady_clock;

namespace {

/// Runs `argv` (looked up in PATH when `search`) in a child that dies with
/// the test, in `workingDir` (empty: the test's own), its standard output
/// on `outFd` and its standard error on `errFd` (-1: the test's own);
/// closes neither. Its pid, or -1.
pid_t spawn(std::vector<std::string> argv, bool search, int outFd, int errFd,
            const std::string& workingDir = "") {
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    const pid_t test = ::getpid();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    dieWithTest(test);
    if ((!workingDir.empty() && ::chdir(workingDir.c_str()) != 0) ||
        (outFd >= 0 && ::dup2(outFd, 1) < 0) || (errFd >= 0 && ::dup2(errFd, 2) < 0))
        ::_exit(127);
    search ? ::execvp(args[0], args.data()) : ::execv(args[0], args.data());
    ::_exit(127);
}

/// A file for a child's output, opened for the test alone (-1 when it
/// cannot be).
int outputFile(const std::string& path, int flags) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0600);
}

/// Starts the server program with `args`; its standard output goes to
/// `outFd` (-1: the test's own) and its standard error to `errFile`.
pid_t spawnServer(const std::vector<std::string>& args, int outFd, const std::string& errFile,
                  const std::string& workingDir = "") {
    const int errFd = outputFile(errFile, O_TRUNC);
    if (errFd < 0)
        return -1;
    std::vector<std::string> all = {PELVORAN_SERVER_EXE};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = spawn(std::move(all), false, outFd, errFd, workingDir);
    ::close(errFd);
    return pid;
}

/// Starts one command of the server's command line in a process of its
/// own, as spawnServer. Suites linked with the server's code fork and run
/// it as the program's main does, without loading the program again: a
/// load took 20 ms (200 under the sanitizers), and they run a few hundred.
pid_t spawnCommand(const std::vector<std::string>& args, int outFd, const std::string& errFile,
                   const std::string& workingDir) {
#ifdef PELVORAN_SERVER_COMMANDS_FORKED
    const int errFd = outputFile(errFile, O_TRUNC);
    if (errFd < 0)
        return -1;
    const pid_t test = ::getpid();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::close(errFd);
        return pid;
    }
    dieWithTest(test);
    if ((!workingDir.empty() && ::chdir(workingDir.c_str()) != 0) || ::dup2(outFd, 1) < 0 ||
        ::dup2(errFd, 2) < 0)
        ::_exit(127);
    const int status = server::runProgram(args);
    std::fflush(nullptr);
    ::_exit(status);
#else
    return spawnServer(args, outFd, errFile, workingDir);
#endif
}

/// The exit status of `pid`, or -1 when a signal ended it or it was killed
/// at `limit`. Wakes at the end itself: a poll every few milliseconds added
/// its interval to each of the hundreds of commands the suites run.
int waitFor(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    int status = 0;
    pid_t r = 0;
    while ((r = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() <= end) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (fd < 0 || poll(&p, 1, static_cast<int>(left.count())) < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // no pidfd: look again
    }
    if (fd >= 0)
        ::close(fd);
    if (r == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return r == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// True once the head and as many body bytes as it announces have arrived.
bool isComplete(const std::string& reply) {
    const auto headEnd = reply.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return false;
    const auto length = reply.find("\r\nContent-Length: ");
    if (length == std::string::npos || length > headEnd)
        return false;
    return reply.size() - headEnd - 4 >= std::stoul(reply.substr(length + 18));
}

} // namespace

TempDir::TempDir() {
    std::string tmpl =
        (std::filesystem::temp_directory_path() / "pelvoran-server-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

CommandResult runServerCommand(const std::vector<std::string>& args,
                               std::chrono::milliseconds limit, const std::string& workingDir) {
    const TempDir io;
    const std::string out = io.path() + "/out", err = io.path() + "/err";
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    CommandResult r;
    const pid_t pid = spawnCommand(args, outFd, err, workingDir);
    ::close(outFd);
    if (pid < 0)
        return r;
    r.status = waitFor(pid, limit);
    r.out = fileBytes(out);
    r.err = fileBytes(err);
    return r;
}

ServerProcess::ServerProcess(const std::string& stateDir, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"serve", "--state", stateDir, "--admin-listen", "127.0.0.1:0"};
    if (std::find(extra.begin(), extra.end(), "--listen") == extra.end())
        args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    args.insert(args.end(), extra.begin(), extra.end());
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    errFile_ = stateDir + ".stderr";
    pid_ = spawnServer(args, fds[1], errFile_);
    ::close(fds[1]);
    // A line for each public listener, then the admin one's.
    const auto lines = std::count(args.begin(), args.end(), "--listen") + 1;
    std::string first;
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (std::count(first.begin(), first.end(), '\n') < lines && Clock::now() < end) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[256];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        first.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]); // later lines are not read; the server ignores SIGPIPE
    std::size_t at = 0;
    for (auto i = 1; i < lines; ++i) {
        const auto eol = first.find('\n', at);
        const auto colon = eol == std::string::npos ? eol : first.rfind(':', eol);
        if (first.compare(at, 13, "listening on ") != 0 || colon == std::string::npos ||
            colon < at) {
            stop(SIGKILL);
            throw std::runtime_error("the server did not start: " + first + errors());
        }
        ports_.push_back(std::atoi(first.c_str() + colon + 1));
        at = eol + 1;
    }
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0)
        stop(SIGTERM);
    ::unlink(errFile_.c_str());
}

int ServerProcess::stop(int signal, std::chrono::milliseconds limit) {
    if (pid_ <= 0)
        return -1;
    kill(pid_, signal);
    const int status = waitFor(pid_, limit);
    pid_ = -1;
    return status;
}

std::string ServerProcess::errors() const {
    return fileBytes(errFile_);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logFile) {
    const int log = outputFile(logFile, O_APPEND);
    if (log < 0)
        return;
    pid_ = spawn(argv, true, log, log);
    ::close(log);
}

ChildProcess::~ChildProcess() {
    stop(SIGTERM);
}

int ChildProcess::stop(int signal, std::chrono::milliseconds limit) {
    if (pid_ <= 0)
        return -1;
    if (signal != 0)
        kill(pid_, signal);
    const int status = waitFor(pid_, limit);
    pid_ = -1;
    return status;
}

HeldPort::HeldPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &length) == 0)
        port_ = ntohs(at.sin_port);
}

void HeldPort::release() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::string fileBytes(const std::string& path) {
    // Through the stream's buffer at once: a byte at a time, unoptimized,
    // took half a second for 10 MB.
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

int adminPort(const std::string& stateDir) {
    const std::string address = fileBytes(stateDir + "/admin-address");
    return std::atoi(address.c_str() + address.rfind(':') + 1);
}

int freePort() {
    return HeldPort().port();
}

std::string askUntilAnswered(int port, const std::string& request,
                             std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    std::string reply;
    while (Clock::now() < end) {
        reply = httpExchange(port, request, std::chrono::seconds(5));
        if (statusOf(reply) != 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return reply;
}

void makeState(const std::string& stateDir) {
    ServerProcess server(stateDir);
    if (server.stop(SIGTERM) != 0)
        throw std::runtime_error("serve did not end cleanly: " + server.errors());
}

int connectFrom(int port, const std::string& source) {
    if (source.find(':') != std::string::npos) { // IPv6: to the source address itself
        const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        sockaddr_in6 local{};
        local.sin6_family = AF_INET6;
        inet_pton(AF_INET6, source.c_str(), &local.sin6_addr);
        sockaddr_in6 to = local;
        to.sin6_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string httpExchange(int port, const std::string& request, std::chrono::milliseconds timeout,
                         const std::string& source) {
    const int fd = connectFrom(port, source);
    if (fd < 0)
        return "";
    std::string reply = exchangeOn(fd, request, timeout);
    ::close(fd);
    return reply;
}

namespace {

/// Sends `request` on `fd` while reading what comes back, until `enough`
/// (given all that came back so far) says so, the server closes, or
/// `timeout` passes; what came back.
std::string pump(int fd, const std::string& request, std::chrono::milliseconds timeout,
                 const std::function<bool(std::string&)>& enough) {
    const auto end = Clock::now() + timeout;
    std::size_t sent = 0;
    std::string received;
    while (Clock::now() < end) {
        pollfd p{fd, static_cast<short>(POLLIN | (sent < request.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        if (p.revents & (POLLIN | POLLERR | POLLHUP)) {
            char buf[65536];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break; // closed, or reset
            received.append(buf, static_cast<std::size_t>(n));
            if (enough(received))
                break; // the rest of a refused body need not be sent
        } else if (p.revents & POLLOUT) {
            const ssize_t n =
                ::send(fd, request.data() + sent,
                       std::min<std::size_t>(request.size() - sent, 1 << 16), MSG_NOSIGNAL);
            // A server that answered early and closed: read what it said.
            sent = n <= 0 ? request.size() : sent + static_cast<std::size_t>(n);
        }
    }
    return received;
}

} // namespace

std::string exchangeOn(int fd, const std::string& request, std::chrono::milliseconds timeout) {
    return pump(fd, request, timeout, [](std::string& reply) { return isComplete(reply); });
}

std::vector<std::string> exchangeAllOn(int fd, const std::string& requests, std::size_t count,
                                       std::chrono::milliseconds timeout) {
    std::vector<std::string> replies;
    pump(fd, requests, timeout, [&](std::string& received) {
        // Every whole reply off the front.
        while (isComplete(received)) {
            const auto headEnd = received.find("\r\n\r\n") + 4;
            const auto length = received.find("\r\nContent-Length: ");
            const std::size_t whole = headEnd + std::stoul(received.substr(length + 18));
            replies.push_back(received.substr(0, whole));
            received.erase(0, whole);
        }
        return replies.size() >= count;
    });
    return replies;
}

int statusOf(const std::string& reply) {
    if (!reply.starts_with("HTTP/1.") || reply.size() < 12)
        return 0;
    return std::atoi(reply.c_str() + 9);
}

std::string bodyOf(const std::string& reply) {
    const auto at = reply.find("\r\n\r\n");
    return at == std::string::npos ? "" : reply.substr(at + 4);
}

std::string withoutAge(const std::string& body) {
    const auto end = body.size() >= 2 ? body.rfind('\n', body.size() - 2) : std::string::npos;
    const std::size_t last = end == std::string::npos ? 0 : end + 1;
    const std::string_view line = std::string_view(body).substr(last);
    return line.starts_with("（") && line.ends_with("秒前检查）\n") ? body.substr(0, last) : body;
}

std::string post(const std::string& path, const std::string& body,
                 const std::string& extraHeaders) {
    return "POST " + path +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCONTENT-TYPE: application/x-www-form-urlencoded\r\nConnection: close\r\n" +
           extraHeaders + "\r\n" + body;
}

PostedUntilKilled postUntilKilled(ServerProcess& server, std::mt19937& random, int clients,
                                  const std::function<std::string(int k, int i)>& text,
                                  std::size_t fewest, std::chrono::milliseconds limit) {
    const std::size_t killAt = fewest + random() % (2 * fewest + 1);
    PostedUntilKilled posted;
    std::mutex mutex;
    std::condition_variable answered;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int k = 0; k < clients; ++k)
        threads.emplace_back([&, k] {
            for (int i = 0; i < 100000 && !stop; ++i) {
                const std::string comment = text(k, i);
                {
                    const std::lock_guard lock(mutex);
                    posted.sent.insert(comment);
                }
                if (statusOf(httpExchange(server.port(),
                                          post("/Canon/comment.asp", "CommentText=" + comment),
                                          std::chrono::seconds(5))) == 200) {
                    const std::lock_guard lock(mutex);
                    posted.acknowledged.insert(comment);
                    answered.notify_all();
                }
            }
        });
    {
        // Killed right after an answer, while the other clients' posts are
        // under way.
        std::unique_lock lock(mutex);
        answered.wait_for(lock, limit, [&] { return posted.acknowledged.size() >= killAt; });
    }
    server.stop(SIGKILL);
    stop = true;
    for (auto& t : threads)
        t.join();
    return posted;
}

std::string updateQuestion(const std::string& method) {
    // Raw blanks and a raw GBK byte pair in D, as older tools may send.
    return method +
           " /Canon/LensCheck.asp?Action=Check&D=2026/12/7 10:00:00 \xC9\xCF\xCE\xE7 HTTP/1.1\r\n"
           "Host: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

std::vector<std::string> exportedTexts(const std::string& jsonl) {
    std::vector<std::string> texts;
    const std::string key = "\"text\":\"";
    for (std::size_t at = jsonl.find(key); at != std::string::npos; at = jsonl.find(key, at)) {
        std::string text;
        std::size_t i = at + key.size();
        for (; i < jsonl.size() && jsonl[i] != '"'; ++i) {
            if (jsonl[i] != '\\') {
                text += jsonl[i];
                continue;
            }
            const char e = jsonl[++i];
            if (e == 'n')
                text += '\n';
            else if (e == 'u')
                text += static_cast<char>(std::stoi(jsonl.substr(i + 1, 4), nullptr, 16)), i += 4;
            else
                text += e;
        }
        texts.push_back(text);
        at = i;
    }
    return texts;
}

} // namespace pelvoran::test
