#include "support/nginx_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace korvun::test {

namespace fs = std::filesystem;

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string ProgramPath(const char* preferred, const char* fallback) {
    return access(preferred, X_OK) == 0 ? preferred : fallback;
}

// Starts argv[0] (searched in PATH) with stdout and stderr redirected; -1 on failure.
pid_t Spawn(const std::vector<std::string>& args, int stdoutFd, int stderrFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    if (stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

bool HasExited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

// SIGTERM, then SIGKILL if the process does not end within a few seconds.
void Terminate(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    auto deadline = steady_clock::now() + milliseconds(5000);
    while (steady_clock::now() < deadline) {
        if (HasExited(pid)) return;
        std::this_thread::sleep_for(milliseconds(5));
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

// libcurl takes proxies from the environment; the test servers are on this machine and
// must be reached directly even where a proxy is configured.
void BypassProxiesForLoopback() {
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        const char* current = std::getenv(name);
        std::string value = current ? current : "";
        if (value.find("127.0.0.1") != std::string::npos) continue;
        setenv(name, (value.empty() ? "" : value + ",").append("127.0.0.1,localhost").c_str(), 1);
    }
}

bool CanConnect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

GameDirectory::GameDirectory() : directory_("korvun-game") {
    previous_ = fs::current_path().string();
    fs::current_path(directory_.Path());
}

GameDirectory::~GameDirectory() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
}

void GameDirectory::Write(const std::string& name, const std::string& content) const {
    WriteFileBytes(File(name), content);
}

void GameDirectory::PointAt(const std::string& address) const {
    Write("CONFIG.ini", "[LOGIN]\r\nTEST_IP=GERMANY\r\n");
    Write("UpdaterURL.txt", address + "\r\n");
}

TestCertificates MakeTestCertificates(const std::string& directory) {
    fs::create_directories(directory);
    TestCertificates made{directory + "/authority.crt", directory + "/server.crt",
                          directory + "/server.key"};
    WriteFileBytes(directory + "/server.ext",
                   "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n");
    const std::string d = "'" + directory + "'";
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    std::string script =
        "set -e; cd " + d + "; openssl req -x509" + key +
        " -keyout authority.key -out authority.crt -days 2 -subj '/CN=Korvun Test Authority'"
        " -addext 'basicConstraints=critical,CA:TRUE' -addext 'keyUsage=critical,keyCertSign';"
        " openssl req" +
        key +
        " -keyout server.key -out server.csr -subj '/CN=127.0.0.1';"
        " openssl x509 -req -in server.csr -CA authority.crt -CAkey authority.key"
        " -CAcreateserial -out server.crt -days 2 -extfile server.ext";
    if (std::system(("(" + script + ") >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("openssl could not make the test certificates in " + directory);
    }
    return made;
}

uint16_t UnusedPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

NginxServer::NginxServer(NotFound notFound) : directory_("korvun-nginx"), notFound_(notFound) {
    Start();
}

NginxServer::NginxServer(const Tuning& tuning)
    : directory_("korvun-nginx"), notFound_(NotFound::EmptyBody), tuning_(tuning) {
    Start();
}

NginxServer::NginxServer(const Tls& tls)
    : directory_("korvun-nginx"), notFound_(NotFound::EmptyBody), tls_(tls) {
    Start();
}

void NginxServer::Start() {
    BypassProxiesForLoopback();
    root_ = directory_.Path() + "/root";
    fs::create_directories(root_);
    fs::create_directories(directory_.Path() + "/logs");
    WriteFileBytes(directory_.Path() + "/errors/missing", "");
    fs::create_directories(directory_.Path() + "/temp");
    // The free port is only free when asked; another process may take it before nginx
    // binds, so a failed start is retried on a new one.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (TryStart(UnusedPort())) return;
    }
    throw std::runtime_error("nginx did not start; see " + directory_.Path() + "/logs");
}

NginxServer::~NginxServer() { StopProcess(); }

bool NginxServer::TryStart(uint16_t port) {
    const std::string& dir = directory_.Path();
    std::ostringstream conf;
    // As root the master would hand the workers to an unprivileged user that cannot read
    // the test's private directory.
    if (geteuid() == 0) conf << "user root root;\n";
    conf << "worker_processes 1;\n"
         << "pid " << dir << "/nginx.pid;\n"
         << "error_log " << dir << "/logs/error.log;\n"
         << "events { worker_connections 256; }\n"
         << "http {\n"
         << "    log_format korvun '$request_method $request_uri $status $body_bytes_sent';\n"
         << "    access_log " << dir << "/logs/access.log korvun;\n"
         << "    client_body_temp_path " << dir << "/temp/body;\n"
         << "    proxy_temp_path " << dir << "/temp/proxy;\n"
         << "    fastcgi_temp_path " << dir << "/temp/fastcgi;\n"
         << "    uwsgi_temp_path " << dir << "/temp/uwsgi;\n"
         << "    scgi_temp_path " << dir << "/temp/scgi;\n"
         << "    default_type application/octet-stream;\n"
         << "    sendfile on;\n"
         << "    server {\n"
         << "        listen 127.0.0.1:" << port << (tls_ ? " ssl" : "") << " "
         << tuning_.listenOptions << ";\n"
         << "        server_name localhost;\n"
         << "        root " << root_ << ";\n"
         << tuning_.serverConfig << "\n";
    if (tls_) {
        conf << "        ssl_certificate " << tls_->certificate << ";\n"
             << "        ssl_certificate_key " << tls_->key << ";\n"
             << tls_->extraConfig << "\n";
    }
    if (notFound_ == NotFound::EmptyBody) {
        conf << "        error_page 404 /.korvun-missing;\n"
             << "        location = /.korvun-missing { internal; alias " << dir
             << "/errors/missing; }\n";
    }
    conf << "    }\n"
         << "}\n";
    WriteFileBytes(dir + "/nginx.conf", conf.str());

    int output =
        open((dir + "/logs/stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_ = Spawn({ProgramPath("/usr/sbin/nginx", "nginx"), "-p", dir, "-c", dir + "/nginx.conf",
                  "-e", dir + "/logs/error.log", "-g", "daemon off;"},
                 output, output);
    if (output >= 0) close(output);
    if (pid_ < 0) return false;

    auto deadline = steady_clock::now() + milliseconds(10000);
    while (steady_clock::now() < deadline) {
        if (HasExited(pid_)) {
            pid_ = -1;
            return false;
        }
        if (CanConnect(port)) {
            port_ = port;
            return true;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    StopProcess();
    return false;
}

void NginxServer::StopProcess() {
    Terminate(pid_);
    pid_ = -1;
}

std::string NginxServer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

std::string NginxServer::Url(const std::string& path) const {
    return (tls_ ? "https://" : "http://") + Address() + path;
}

void NginxServer::WriteFile(const std::string& relative, const std::string& content) const {
    WriteFileBytes(root_ + "/" + relative, content);
}

void NginxServer::WriteSizedFile(const std::string& relative, uint64_t size) const {
    std::string path = root_ + "/" + relative;
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string chunk(1 << 20, '\0');
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>((i * 131 + 7) & 0xff);
    for (uint64_t left = size; left > 0;) {
        size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    if (!out.good()) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> NginxServer::AccessLog() const {
    return ReadLines(directory_.Path() + "/logs/access.log");
}

uint64_t NginxServer::BodyBytesSent(const std::string& needle) const {
    uint64_t sum = 0;
    for (const std::string& line : AccessLog()) {
        if (line.find(needle) == std::string::npos) continue;
        size_t space = line.rfind(' ');
        if (space != std::string::npos) sum += std::strtoull(line.c_str() + space + 1, nullptr, 10);
    }
    return sum;
}

size_t NginxServer::CountRequests(const std::string& needle, size_t atLeast,
                                  milliseconds timeout) const {
    auto deadline = steady_clock::now() + timeout;
    for (;;) {
        size_t count = 0;
        for (const std::string& line : AccessLog()) {
            if (line.find(needle) != std::string::npos) ++count;
        }
        if (count >= atLeast || steady_clock::now() >= deadline) return count;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

ScriptServer::ScriptServer(const std::string& script, const std::vector<std::string>& arguments) {
    BypassProxiesForLoopback();
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<std::string> args = {ProgramPath("/usr/bin/python3", "python3"), "-u", script};
    args.insert(args.end(), arguments.begin(), arguments.end());
    pid_ = Spawn(args, pipeFds[1], quiet);
    close(pipeFds[1]);
    if (quiet >= 0) close(quiet);
    if (pid_ < 0) {
        close(pipeFds[0]);
        throw std::runtime_error("cannot start " + script);
    }

    std::string announced;
    auto deadline = steady_clock::now() + milliseconds(10000);
    while (announced.find('\n') == std::string::npos && steady_clock::now() < deadline) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[64];
        ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        announced.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    if (announced.rfind("PORT ", 0) != 0) {
        Terminate(pid_);
        throw std::runtime_error(script + " did not start: " + announced);
    }
    port_ = static_cast<uint16_t>(std::stoi(announced.substr(5)));
}

ScriptServer::~ScriptServer() { Terminate(pid_); }

MisbehavingServer::MisbehavingServer(const std::string& defaultScenario, double stallSeconds)
    : root_("korvun-misbehaving"),
      // The script lives next to this file in the source tree.
      server_((fs::path(__FILE__).parent_path() / "misbehaving_server.py").string(),
              {"--root", root_.Path(), "--scenario", defaultScenario, "--stall",
               std::to_string(stallSeconds)}) {}

std::string MisbehavingServer::Address() const { return server_.Address(); }

std::string MisbehavingServer::Address(const std::string& scenario) const {
    return Address() + "/" + scenario;
}

void MisbehavingServer::WriteFile(const std::string& relative, const std::string& content) const {
    WriteFileBytes(root_.Path() + "/" + relative, content);
}

}  // namespace korvun::test
