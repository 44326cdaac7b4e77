#include "raw_giop.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <stdint.h>
#include <string.h>

#include <vector>

namespace {

// Reads CDR data in either byte order, with alignment relative to `base`.
struct cdr_in {
    const std::vector<uint8_t> &b;
    size_t pos, base;
    bool little;
    bool ok = true;
    void align(size_t n) {
        pos = base + (pos - base + n - 1) / n * n;
    }
    uint32_t ulong() {
        align(4);
        if (pos + 4 > b.size())
            return ok = false, 0;
        uint32_t v = little
                         ? b[pos] | b[pos + 1] << 8 | b[pos + 2] << 16 | (uint32_t)b[pos + 3] << 24
                         : (uint32_t)b[pos] << 24 | b[pos + 1] << 16 | b[pos + 2] << 8 | b[pos + 3];
        pos += 4;
        return v;
    }
    uint16_t ushort() {
        align(2);
        if (pos + 2 > b.size())
            return ok = false, 0;
        uint16_t v = little ? b[pos] | b[pos + 1] << 8 : b[pos] << 8 | b[pos + 1];
        pos += 2;
        return v;
    }
    std::vector<uint8_t> octets() {
        uint32_t n = ulong();
        if (!ok || pos + n > b.size())
            return ok = false, std::vector<uint8_t>();
        std::vector<uint8_t> v(b.begin() + pos, b.begin() + pos + n);
        pos += n;
        return v;
    }
    std::string string() {
        std::vector<uint8_t> v = octets();
        return v.empty() ? "" : std::string(v.begin(), v.end() - 1);
    }
};

// Little-endian CDR output; offsets count from the start of the GIOP body.
struct cdr_out {
    std::vector<uint8_t> b;
    void align(size_t n) {
        while (b.size() % n)
            b.push_back(0);
    }
    void ulong(uint32_t v) {
        align(4);
        for (int i = 0; i < 4; i++)
            b.push_back(v >> (8 * i));
    }
    void octets(const std::vector<uint8_t> &v) {
        ulong(v.size());
        b.insert(b.end(), v.begin(), v.end());
    }
    void string(const std::string &s) {
        ulong(s.size() + 1);
        b.insert(b.end(), s.begin(), s.end());
        b.push_back(0);
    }
};

// omniORB's component of an IIOP profile naming its unix socket.
constexpr uint32_t kTagOmniorbUnixTrans = 0x41545402;

struct address {
    std::string host, unix_path;
    uint16_t port = 0;
    std::vector<uint8_t> key;
};

bool parse_ior(const std::string &ior, address &a) {
    if (ior.compare(0, 4, "IOR:") != 0)
        return false;
    std::vector<uint8_t> raw;
    for (size_t i = 4; i + 1 < ior.size(); i += 2)
        raw.push_back(std::stoi(ior.substr(i, 2), 0, 16));
    if (raw.empty())
        return false;
    cdr_in in{raw, 1, 0, raw[0] == 1};
    in.string();  // type id
    uint32_t profiles = in.ulong();
    for (uint32_t i = 0; i < profiles && in.ok; i++) {
        uint32_t tag = in.ulong();
        std::vector<uint8_t> data = in.octets();
        if (tag != 0 || data.empty())
            continue;  // TAG_INTERNET_IOP only
        cdr_in p{data, 1, 0, data[0] == 1};
        p.ushort();  // IIOP version
        a.host = p.string();
        a.port = p.ushort();
        a.key = p.octets();
        uint32_t components = p.pos < data.size() ? p.ulong() : 0;
        for (uint32_t c = 0; c < components && p.ok; c++) {
            uint32_t component = p.ulong();
            std::vector<uint8_t> body = p.octets();
            if (component == kTagOmniorbUnixTrans && !body.empty()) {
                cdr_in u{body, 1, 0, body[0] == 1};
                u.string();  // host
                a.unix_path = u.string();
            }
        }
        return p.ok;
    }
    return false;
}

bool read_all(int fd, uint8_t *buf, size_t n) {
    while (n) {
        ssize_t r = read(fd, buf, n);
        if (r <= 0)
            return false;
        buf += r;
        n -= r;
    }
    return true;
}

}  // namespace

int raw_giop_connect(const std::string &ior, int flags) {
    address a;
    if (!parse_ior(ior, a))
        return errno = EINVAL, -1;
    struct sockaddr_un local = {};
    struct sockaddr_in remote = {};
    struct sockaddr *to = (struct sockaddr *)&remote;
    socklen_t size = sizeof remote;
    if (!a.unix_path.empty() && a.unix_path.size() < sizeof local.sun_path) {
        local.sun_family = AF_UNIX;
        strcpy(local.sun_path, a.unix_path.c_str());
        to = (struct sockaddr *)&local;
        size = sizeof local;
    } else {
        remote.sin_family = AF_INET;
        remote.sin_port = htons(a.port);
        if (inet_pton(AF_INET, a.host.c_str(), &remote.sin_addr) != 1)
            return errno = EINVAL, -1;
    }
    int fd = socket(to->sa_family, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd >= 0 && connect(fd, to, size) != 0 && errno != EINPROGRESS) {
        int saved = errno;
        close(fd);
        return errno = saved, -1;
    }
    return fd;
}

std::string raw_giop_request(const std::string &ior, const std::string &operation, int argument) {
    address a;
    if (!parse_ior(ior, a))
        return "error: no IIOP profile";

    cdr_out body;
    body.ulong(0);        // no service contexts
    body.ulong(1);        // request id
    body.b.push_back(1);  // response expected
    body.octets(a.key);
    body.string(operation);
    body.ulong(0);  // no principal
    body.ulong((uint32_t)argument);

    std::vector<uint8_t> msg = {'G', 'I', 'O', 'P', 1, 0, 1 /* little endian */, 0 /* Request */};
    for (int i = 0; i < 4; i++)
        msg.push_back(body.b.size() >> (8 * i));
    msg.insert(msg.end(), body.b.begin(), body.b.end());

    int fd = raw_giop_connect(ior, 0);
    if (fd < 0)
        return std::string("error: connect: ") + strerror(errno);
    struct timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string result;
    uint8_t header[12];
    if (write(fd, msg.data(), msg.size()) != (ssize_t)msg.size() || !read_all(fd, header, 12) ||
        memcmp(header, "GIOP", 4) != 0) {
        result = "error: exchange failed";
    } else {
        bool little = header[6] & 1;
        std::vector<uint8_t> h(header + 8, header + 12);
        cdr_in size_in{h, 0, 0, little};
        std::vector<uint8_t> reply(size_in.ulong());
        if (header[7] != 1 || !read_all(fd, reply.data(), reply.size())) {
            result = "error: no reply";
        } else {
            cdr_in in{reply, 0, 0, little};
            uint32_t contexts = in.ulong();
            for (uint32_t i = 0; i < contexts && in.ok; i++) {
                in.ulong();
                in.octets();
            }
            in.ulong();  // request id
            uint32_t status = in.ulong();
            result = status == 0   ? ""
                     : status == 2 ? in.string()
                                   : "error: reply status " + std::to_string(status);
        }
    }
    close(fd);
    return result;
}
