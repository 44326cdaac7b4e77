#include "raw_giop.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
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

bool parse_ior(const std::string &ior, std::string &host, uint16_t &port,
               std::vector<uint8_t> &key) {
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
        host = p.string();
        port = p.ushort();
        key = p.octets();
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

bool raw_giop_address(const std::string &ior, std::string &host, int &port) {
    uint16_t p = 0;
    std::vector<uint8_t> key;
    bool ok = parse_ior(ior, host, p, key);
    port = p;
    return ok;
}

std::string raw_giop_request(const std::string &ior, const std::string &operation, int argument) {
    std::string host;
    uint16_t port = 0;
    std::vector<uint8_t> key;
    if (!parse_ior(ior, host, port, key))
        return "error: no IIOP profile";

    cdr_out body;
    body.ulong(0);        // no service contexts
    body.ulong(1);        // request id
    body.b.push_back(1);  // response expected
    body.octets(key);
    body.string(operation);
    body.ulong(0);  // no principal
    body.ulong((uint32_t)argument);

    std::vector<uint8_t> msg = {'G', 'I', 'O', 'P', 1, 0, 1 /* little endian */, 0 /* Request */};
    for (int i = 0; i < 4; i++)
        msg.push_back(body.b.size() >> (8 * i));
    msg.insert(msg.end(), body.b.begin(), body.b.end());

    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
        return "error: host " + host;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string result;
    uint8_t header[12];
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0 ||
        write(fd, msg.data(), msg.size()) != (ssize_t)msg.size() || !read_all(fd, header, 12) ||
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
