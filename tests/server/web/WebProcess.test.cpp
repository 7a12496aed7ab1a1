// The real brannoc-web on port 80 of the test's private network: refused starts, every request the
// client makes, the users file read again on SIGHUP, and a clean stop; connections kept or closed as
// HTTP says, and a sign-in that slow clients from many addresses can neither delay nor shut out.

#include "tests/support/Harness.hpp"

#include <gtest/gtest.h>

#include <httplib.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace {

// A socket from a local address of our choice (any of 127.0.0.0/8) to port 80; each read waits 4 s
// at most, less than the server's keep-alive limit, so a connection left open is told from a closed one.
int connectFrom(const std::string& from) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{AF_INET, 0, {}, {}}, server{AF_INET, htons(80), {htonl(INADDR_LOOPBACK)}, {}};
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    const timeval wait{4, 0};
    EXPECT_TRUE(!setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) &&
                !bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) &&
                !connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server))
        << from;
    return fd;
}

// Sends request and reads until the server closes; "(open)" ends what came when it did not.
std::string exchange(const std::string& request, const std::string& from = "127.0.0.1") {
    const int fd = connectFrom(from);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string got;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
        got.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return n == 0 || errno == ECONNRESET ? got : got + "(open)";
}

// Connections from 127.0.0.2 to 127.0.0.9 in turn that send a request's header a byte every two
// seconds, as an attacker holding connections open would.
class SlowClients {
public:
    explicit SlowClients(std::size_t count) {
        for (std::size_t k = 0; k < count; ++k)
            fds.push_back(connectFrom("127.0.0." + std::to_string(2 + k % 8)));
        drip_ = std::thread([this] {
            const std::string header = "GET / HTTP/1.1\r\nX-Slow: " + std::string(200, 'z');
            std::unique_lock<std::mutex> lock(mutex_);
            for (std::size_t at = 0; !stop_; at = (at + 1) % header.size(), wake_.wait_for(lock, 2s))
                for (const int fd : fds)
                    send(fd, &header[at], 1, MSG_NOSIGNAL);
        });
    }
    ~SlowClients() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        drip_.join();
        for (const int fd : fds)
            close(fd);
    }
    std::vector<int> fds;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread drip_;
};

TEST(WebProcess, RefusesBadStartsThenAnswersAsTheClientReadsReloadsAndStops) {
    std::string dir = "/tmp/brannoc-web-process-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string users = dir + "/users", jpeg = "\xff\xd8\xff\xe0pixels\xff\xd9";
    const std::string png =
        std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + std::string("\0IEND\xae\x42\x60\x82", 9);
    // token id rank user display real sex groups avatar; bob's line leaves the avatar out.
    const std::string ann = "tok-1\t42\t3\tann\tAnn\tAnn Lee\t2\tadmins,players\tmine.png\n",
                      bob = "tok-2\t-7\t0\tbob\tBob\tBob Ray\t1\t\n";
    std::filesystem::create_directories(dir + "/avatars");
    // clang-format off
    for (const auto& [name, bytes] : {std::pair<const char*, std::string>{"users", "# token id ...\n\n" + ann},
         {"mine.png", png}, {"avatars/42.png", jpeg}, {"avatars/7.jpg", jpeg}, {"avatars/8.png", png.substr(0, 24)}})
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    // clang-format on
    const std::vector<std::string> web = {BRANNOC_BUILD_DIR "/brannoc-web", "--users", users, "--avatars",
                                          dir + "/avatars"};
    // The users file is a secret: neither group nor others may read or write it.
    std::string said;
    const auto refused = [&](const std::vector<std::string>& args) {
        Process once(args);
        EXPECT_TRUE(once.waitExit());
        said += once.out() + once.err();
        return once.status();
    };
    for (const mode_t mode : {0640, 0604, 0620}) {
        chmod(users.c_str(), mode);
        EXPECT_EQ(refused(web), 1) << std::oct << mode;
    }
    EXPECT_EQ(refused({web[0], "--port", "none"}), 2);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 4) << said; // one line each
    EXPECT_NE(said.find("the users file is a secret"), std::string::npos) << said;

    chmod(users.c_str(), 0600);
    Process server(web);
    const auto log = [&] { return server.out() + server.err(); };
    httplib::Client client("127.0.0.1", 80);
    EXPECT_TRUE(waitUntil([&] { return static_cast<bool>(client.Get("/")); })) << log();
    const auto ask = [&](const std::string& path, const std::string& body = "") {
        const auto reply =
            body.empty() ? client.Get(path) : client.Post(path, body, "application/x-www-form-urlencoded");
        return reply ? std::to_string(reply->status) + " " + reply->body : "(no reply)";
    };
    const std::string login = "/./php/endpoints/stest.php", rank = "/./php/endpoints/rankdata.php";
    const std::string annIn =
        "200 id=42\nrank=3\nuser=ann\ndisp=Ann\nreal=Ann Lee\nsex=2\ngrps=admins,players";
    // Path, body, reply. A refusal is one line: the client stays logged out. The client asks for
    // "./php/..." with or without "/" in front; 42's picture in the users file comes first.
    // clang-format off
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {login, "name=x&token=tok-1&index=3", annIn}, {"./php/endpoints/stest.php", "token=tok-1", annIn},
        {login, "token=tok-2", "403 unknown token"}, {login, "xtoken=tok-1", "403 unknown token"},
        {rank, "token=&rank=1&name=ann&index=3", "200 #1E90FF"}, {rank, "rank=8", "200 #8899AA"},
        {rank, "rank=99999999999999999999", "200 #8899AA"}, {"/img/avatars/42", "", "200 " + png},
        {"/img/avatars/7", "", "200 " + jpeg}, {"/img/avatars/8", "", "404 no avatar"},
        {"/img/avatars/../mine", "", "404 not found"}};
    // clang-format on
    for (const auto& [path, body, reply] : rows)
        EXPECT_EQ(ask(path, body), reply) << path << " " << body;
    const auto avatar = client.Get("/img/avatars/default.jpg"); // from the asset tree beside the program
    EXPECT_TRUE(avatar && avatar->status == 200 && avatar->get_header_value("Content-Type") == "image/jpeg" &&
                avatar->body.rfind("\xff\xd8\xff", 0) == 0);

    std::ofstream(users) << ann + bob;
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(waitUntil([&] { return ask(login, "token=tok-2").rfind("200 id=-7\n", 0) == 0; }));
    // A broken file leaves the table as it was.
    std::ofstream(users) << "tok-3\t44\t0\tcy\t{Cy}\tCy\t1\tg\t\n";
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(
        waitUntil([&] { return log().find("line 1: the display holds a brace") != std::string::npos; }));
    EXPECT_EQ(ask(login, "token=tok-2").substr(0, 11) + ask(login, "token=tok-3"),
              "200 id=-7\nr403 unknown token");
    server.stop();
    EXPECT_EQ(server.status(), 0);
    EXPECT_EQ(log().find("tok-"), std::string::npos) << "tokens stay out of the log: " << log();
    std::filesystem::remove_all(dir);
}

TEST(WebProcess, KeepsConnectionsAsAskedAndSlowClientsNeitherDelayNorShutOutASignIn) {
    const std::string users = tempPath("users");
    std::ofstream(users) << "tok-1\t42\t3\tann\tAnn\tAnn Lee\t2\tplayers\t\n";
    chmod(users.c_str(), 0600);
    Process server({BRANNOC_BUILD_DIR "/brannoc-web", "--users", users, "--max-connections", "400"});
    const auto log = [&] { return server.out() + server.err(); };
    const std::string answer = "HTTP/1.1 200 OK", signIn = "POST /./php/endpoints/stest.php HTTP/1.0\r\n"
                                                           "Content-Length: 11\r\n\r\ntoken=tok-1";
    ASSERT_TRUE(waitUntil([&] { return log().find("serving 1 users") != std::string::npos; })) << log();

    // Requests on one connection, and the answers before the server closes it: a reply is read to
    // the close by HTTP/1.0 clients, so a request without keep-alive must end the connection.
    const std::string rank = "GET /./php/endpoints/rankdata.php HTTP/1.", plain = "\r\n\r\n";
    const std::pair<std::string, long> rows[] = {
        {rank + "0" + plain, 1},
        {rank + "1" + plain + rank + "1\r\nConnection: close" + plain, 2},
        {rank + "0\r\nConnection: keep-alive" + plain + rank + "0" + plain, 2}};
    for (const auto& [requests, answers] : rows) {
        const std::string got = exchange(requests);
        long seen = 0;
        for (auto at = got.find(answer); at != std::string::npos; at = got.find(answer, at + 1))
            ++seen;
        EXPECT_TRUE(seen == answers && got.find("(open)") == std::string::npos) << requests << "\n" << got;
    }

    // 400 slow connections fill the total cap (50 from each address, under the per-address cap of
    // 64): the sign-in takes the place of the oldest.
    SlowClients slow(400);
    const auto sockets = [&] {
        long n = 0;
        for (const auto& fd :
             std::filesystem::directory_iterator("/proc/" + std::to_string(server.pid) + "/fd"))
            n += std::filesystem::read_symlink(fd).string().rfind("socket:", 0) == 0;
        return n;
    };
    ASSERT_TRUE(waitUntil([&] { return sockets() == 401; })) << sockets() << " sockets\n" << log();
    const auto start = Clock::now();
    EXPECT_NE(exchange(signIn).find("id=42"), std::string::npos) << log();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_LT(took, 5s);
    std::cout << "sign-in under 400 slow connections: " << took.count() << " ms\n";
    sockaddr_in oldest{};
    socklen_t size = sizeof oldest;
    getsockname(slow.fds[0], reinterpret_cast<sockaddr*>(&oldest), &size);
    char byte = 0;
    const ssize_t n = recv(slow.fds[0], &byte, 1, 0);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << "the oldest slow connection was closed";
    EXPECT_TRUE(waitUntil([&] {
        return log().find("127.0.0.2:" + std::to_string(ntohs(oldest.sin_port)) +
                          ": dropped: no whole request yet") != std::string::npos;
    })) << log();

    // The counters an operator scrapes, in a text Prometheus's own checker accepts.
    std::string scrape = exchange("GET /metrics HTTP/1.0\r\n\r\n");
    for (const char* sample : {"\nbrannoc_web_sign_ins_total{outcome=\"accepted\"} 1\n",
                               "\nbrannoc_web_requests_total{route=\"rank\"} 5\n",
                               "\nbrannoc_web_connections_dropped_total{reason=\"evicted\"} 1\n"})
        EXPECT_NE(scrape.find(sample), std::string::npos) << sample << scrape;
    scrape.erase(0, scrape.find("\r\n\r\n") + 4);
    std::ofstream(users + ".prom") << scrape;
    EXPECT_EQ(std::system(("promtool check metrics < " + users + ".prom").c_str()), 0) << scrape;
    server.stop();
    EXPECT_EQ(server.status(), 0) << log();
}

} // namespace
