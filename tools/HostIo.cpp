// HostIo.cpp - every read, write and close of ostrevel-host, checked: a failure names the file
// or stream and the system's reason, and nothing that was not written is reported as done.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "Host.h"

namespace host {
namespace {

constexpr std::size_t READ_CHUNK = 64 * 1024;
bool standardInputClosed = false;

// The system's text for the current errno.
std::string reason(int error) {
    return std::strerror(error);
}

std::string inputName(const std::string& path) {
    return path == STDIN_NAME ? "standard input" : path;
}

std::string streamName(std::FILE* stream) {
    return stream == stdout ? "standard output" : "standard error";
}

// A closed pipe is the reader's choice to stop: end as a program killed by SIGPIPE does,
// quietly, even when SIGPIPE was ignored.
[[noreturn]] void quietEndOnClosedPipe() {
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    std::_Exit(EXIT_ERROR);  // not reached unless SIGPIPE is blocked
}

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// Puts /dev/null on a closed standard descriptor so that no file opened later takes it.
void reserve(int fd, int flags) {
    const int null = open("/dev/null", flags);
    if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
    }
}

// Reads the rest of `fd` into `bytes`, at most `limit` bytes; false when `limit` is passed.
bool readAll(int fd, const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes) {
    for (;;) {
        const std::size_t have = bytes.size();
        // Fill what is reserved first (a file's size is known ahead), then grow by chunks.
        const std::size_t want = bytes.capacity() > have ? bytes.capacity() - have : READ_CHUNK;
        if (have > limit) {
            return false;
        }
        bytes.resize(have + want);
        const ssize_t got = read(fd, bytes.data() + have, want);
        if (got < 0) {
            const int error = errno;
            bytes.resize(have);
            if (error == EINTR) {
                continue;
            }
            throw HostError("cannot read " + inputName(path) + ": " + reason(error));
        }
        bytes.resize(have + static_cast<std::size_t>(got));
        if (got == 0) {
            return bytes.size() <= limit;
        }
    }
}

}  // namespace

void guardStandardStreams() {
    if (!isOpen(STDERR_FILENO)) {
        reserve(STDERR_FILENO, O_WRONLY);
    }
    if (!isOpen(STDOUT_FILENO)) {
        reserve(STDOUT_FILENO, O_WRONLY);
        throw HostError("standard output is closed: nothing could be reported");
    }
    if (!isOpen(STDIN_FILENO)) {
        standardInputClosed = true;
        reserve(STDIN_FILENO, O_RDONLY);
    }
}

std::vector<std::uint8_t> readInput(const std::string& path, std::size_t limit) {
    const bool standardInput = path == STDIN_NAME;
    if (standardInput && standardInputClosed) {
        throw HostError("cannot read standard input: it is closed");
    }
    int fd = STDIN_FILENO;
    if (!standardInput) {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            throw HostError("cannot read " + path + ": " + reason(errno));
        }
    }
    // Closes the file however the reading ends; a failed close of a file only read loses
    // nothing, but is reported all the same when the reading itself went well.
    struct Closer {
        int fd;
        bool owned;
        ~Closer() {
            if (owned && fd >= 0) close(fd);
        }
    } closer{fd, !standardInput};
    struct stat info {};
    std::vector<std::uint8_t> bytes;
    if (fstat(fd, &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            throw HostError("cannot read " + inputName(path) + ": " + reason(EISDIR));
        }
        if (S_ISREG(info.st_mode) && static_cast<std::uintmax_t>(info.st_size) <= limit) {
            bytes.reserve(static_cast<std::size_t>(info.st_size) + 1);  // one block, no regrowth
        }
    }
    if (!readAll(fd, path, limit, bytes)) {
        throw HostError(inputName(path) + " is larger than " + std::to_string(limit) +
                        " bytes: not read further (raise --max-input-size to take it)");
    }
    if (closer.owned) {
        closer.owned = false;
        if (close(fd) != 0) {
            throw HostError("cannot read " + path + ": " + reason(errno));
        }
    }
    return bytes;
}

void writeNewFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw HostError("cannot write " + path + ": " + reason(errno));
    }
    std::size_t written = 0;
    int error = 0;
    while (written < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + written, bytes.size() - written);
        if (put < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        written += static_cast<std::size_t>(put);
    }
    // A full disk may show only when the data reaches it: on close.
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(path.c_str());
        throw HostError("cannot write " + path + ": " + reason(error));
    }
}

void writeBytesTo(std::FILE* stream, const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) {
        return;
    }
    if (std::fwrite(bytes, 1, count, stream) != count) {
        const int error = errno;
        if (error == EPIPE) quietEndOnClosedPipe();
        throw HostError("cannot write " + streamName(stream) + ": " + reason(error));
    }
}

void writeTo(std::FILE* stream, const std::string& text) {
    writeBytesTo(stream, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void finishStandardOutput() {
    if (std::fflush(stdout) != 0) {
        const int error = errno;
        if (error == EPIPE) quietEndOnClosedPipe();
        throw HostError("cannot write standard output: " + reason(error));
    }
    if (std::fclose(stdout) != 0) {
        const int error = errno;
        if (error == EPIPE) quietEndOnClosedPipe();
        throw HostError("cannot write standard output: " + reason(error));
    }
}

}  // namespace host
