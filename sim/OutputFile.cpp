// SPDX-License-Identifier: MIT
#include "sim/OutputFile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool Failed(const std::string& path, int error) {
    fprintf(stderr, "mcusim: cannot write %s: %s\n", path.c_str(), strerror(error));
    return false;
}

}  // namespace

OutputFile::~OutputFile() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool OutputFile::Open(const char* path) {
    struct stat st;
    m_path = path;
    m_existed = stat(path, &st) == 0;
    m_fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    return m_fd >= 0 || Failed(m_path, errno);
}

void OutputFile::Abandon() {
    if (m_fd < 0) {
        return;
    }
    close(m_fd);
    m_fd = -1;
    if (!m_existed) {
        unlink(m_path.c_str());
    }
}

bool OutputFile::Write(const std::function<void(FILE*)>& write) {
    FILE* file = m_fd >= 0 && ftruncate(m_fd, 0) == 0 ? fdopen(m_fd, "w") : NULL;
    if (file == NULL) {
        const int error = m_fd >= 0 ? errno : EBADF;
        Abandon();
        return Failed(m_path, error);
    }
    m_fd = -1;
    write(file);
    const bool flushed = fflush(file) == 0 && ferror(file) == 0;
    const int error = errno;
    const bool closed = fclose(file) == 0;
    return (flushed && closed) || Failed(m_path, flushed ? errno : error);
}
