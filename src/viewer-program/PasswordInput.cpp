#include "PasswordInput.h"

#include <QByteArray>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <termios.h>
#include <unistd.h>

namespace {

// A line longer than this is read to its end but not kept further.
constexpr int kMaximumLineBytes = 16384;

termios g_savedTerminal;

// Echo must come back even when the prompt is interrupted.
void restoreTerminalAndRaise(int signal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

QString readLineWithoutEcho() {
    if (tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0)
        return QString();
    struct sigaction restore = {};
    restore.sa_handler = restoreTerminalAndRaise;
    sigemptyset(&restore.sa_mask);
    struct sigaction previous[std::size(kInterruptions)] = {};
    for (std::size_t i = 0; i < std::size(kInterruptions); ++i)
        sigaction(kInterruptions[i], &restore, &previous[i]);

    termios quiet = g_savedTerminal;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::fputs("Password: ", stderr);
    std::fflush(stderr);

    QByteArray line;
    for (;;) {
        char c = 0;
        const ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || c == '\n')
            break;
        if (line.size() < kMaximumLineBytes)
            line.append(c);
    }
    if (line.endsWith('\r'))
        line.chop(1);

    tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    for (std::size_t i = 0; i < std::size(kInterruptions); ++i)
        sigaction(kInterruptions[i], &previous[i], nullptr);
    // The Enter the user typed was not echoed.
    std::fputc('\n', stderr);
    std::fflush(stderr);

    const QString password = QString::fromLocal8Bit(line);
    line.fill('\0');
    return password;
}

QString readToEnd() {
    QTextStream in(stdin);
    QString password;
    while (!in.atEnd() && password.size() <= 4096)
        password += in.read(32);
    return password;
}

} // namespace

QString readPasswordFromStandardInput() {
    return isatty(STDIN_FILENO) ? readLineWithoutEcho() : readToEnd();
}
