// Real servers for the tests: an nginx on a free port of 127.0.0.1 serving a directory the
// test fills, the misbehaving Python server for what nginx will not do, and a temporary
// game directory that the updater is pointed at the way an operator does it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/client_directory.h"
#include "support/test_files.h"

namespace korvun::test {

// A temporary game directory that is the current directory while the object lives.
class GameDirectory {
  public:
    GameDirectory();
    ~GameDirectory();
    const std::string& Path() const { return directory_.Path(); }
    std::string File(const std::string& name) const { return Path() + "/" + name; }
    ClientDirectory Client() const { return ClientDirectory(Path()); }
    void Write(const std::string& name, const std::string& content) const;

    // CONFIG.ini [LOGIN] TEST_IP=GERMANY and UpdaterURL.txt naming address.
    void PointAt(const std::string& address) const;

  private:
    TempDirectory directory_;
    std::string previous_;
};

// nginx -p DIR -c DIR/nginx.conf -g 'daemon off;' on 127.0.0.1:Port().
class NginxServer {
  public:
    // How a missing file is answered. The updater takes any announced length as the file,
    // so an update server must answer a missing package with an empty body for the gap to
    // be noticed; nginx's own error page (with its length) shows what happens otherwise.
    enum class NotFound { EmptyBody, ErrorPage };

    // Serving https: the server's certificate chain and key (PEM files), and more lines for
    // the server block (a redirect, say).
    struct Tls {
        std::string certificate;
        std::string key;
        std::string extraConfig;
    };

    // More lines for the server block of a plain http server (limit_rate, max_ranges, ...)
    // and options for its listen line (sndbuf=64k, say).
    struct Tuning {
        std::string serverConfig;
        std::string listenOptions;
    };

    // Throws std::runtime_error when nginx does not come up.
    explicit NginxServer(NotFound notFound = NotFound::EmptyBody);
    explicit NginxServer(const Tls& tls);
    explicit NginxServer(const Tuning& tuning);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    uint16_t Port() const { return port_; }
    std::string Address() const;                     // "127.0.0.1:PORT"
    std::string Url(const std::string& path) const;  // "http(s)://127.0.0.1:PORT" + path

    // The served directory; tests put their files under it.
    const std::string& Root() const { return root_; }
    void WriteFile(const std::string& relative, const std::string& content) const;
    // A file of size bytes of a repeating pattern, written in chunks.
    void WriteSizedFile(const std::string& relative, uint64_t size) const;

    // Lines of the access log ("METHOD PATH STATUS BYTES" each).
    std::vector<std::string> AccessLog() const;
    // Body bytes sent for requests whose path contains needle, as the access log has them.
    uint64_t BodyBytesSent(const std::string& needle) const;
    // Requests whose path contains needle. nginx logs a request when it has finished, so
    // this waits up to timeout for at least `atLeast` of them to appear.
    size_t CountRequests(const std::string& needle, size_t atLeast = 0,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const;

  private:
    void Start();
    bool TryStart(uint16_t port);
    void StopProcess();

    TempDirectory directory_;
    NotFound notFound_;
    std::optional<Tls> tls_;
    Tuning tuning_;
    std::string root_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// A test HTTP server written in Python that prints "PORT n" once it listens on 127.0.0.1;
// stopped (SIGTERM, then SIGKILL) with the object.
class ScriptServer {
  public:
    ScriptServer(const std::string& script, const std::vector<std::string>& arguments);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    uint16_t Port() const { return port_; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// tests/support/misbehaving_server.py on a free port of 127.0.0.1. The scenario is the
// first path component of a URL, or defaultScenario.
class MisbehavingServer {
  public:
    explicit MisbehavingServer(const std::string& defaultScenario = "plain",
                               double stallSeconds = 30.0);

    uint16_t Port() const { return server_.Port(); }
    std::string Address() const;  // "127.0.0.1:PORT"
    // Address with a scenario as the first path component: "127.0.0.1:PORT/short".
    std::string Address(const std::string& scenario) const;
    const std::string& Root() const { return root_.Path(); }
    void WriteFile(const std::string& relative, const std::string& content) const;

  private:
    TempDirectory root_;
    ScriptServer server_;
};

// A certificate authority made with openssl at test time, and a server certificate it issued
// for 127.0.0.1 and localhost (PEM files in directory).
struct TestCertificates {
    std::string authority;  // the authority's certificate: what a client trusts
    std::string certificate;
    std::string key;
};
TestCertificates MakeTestCertificates(const std::string& directory);

// A port on 127.0.0.1 with nothing listening (bound, then released).
uint16_t UnusedPort();

}  // namespace korvun::test
