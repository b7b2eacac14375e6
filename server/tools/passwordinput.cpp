#include "server/tools/passwordinput.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include <termios.h>
#include <unistd.h>

namespace {

termios echoing; // the terminal as it was, for a Ctrl+C at the prompt

void restoreAndStop(int signal)
{
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &echoing);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

bool readLine(QString *line)
{
    std::string text;
    if (!std::getline(std::cin, text))
        return false;
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    *line = QString::fromLocal8Bit(text);
    return true;
}

QString prompted(const char *prompt)
{
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    QString line;
    readLine(&line);
    std::fputs("\n", stderr); // the Enter typed was not echoed
    return line;
}

} // namespace

bool readNewPassword(QString *password, QString *error)
{
    if (!isatty(STDIN_FILENO)) {
        if (!readLine(password) || password->isEmpty()) {
            *error = QStringLiteral("no password on standard input (one line)");
            return false;
        }
        return true;
    }
    if (tcgetattr(STDIN_FILENO, &echoing) != 0) {
        *error = QStringLiteral("cannot turn the terminal's echo off");
        return false;
    }
    termios silent = echoing;
    silent.c_lflag &= ~tcflag_t(ECHO);
    const auto interrupted = std::signal(SIGINT, restoreAndStop);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    *password = prompted("New password: ");
    const QString again = password->isEmpty() ? QString() : prompted("The same again: ");
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &echoing);
    std::signal(SIGINT, interrupted);
    if (!password->isEmpty() && again == *password)
        return true;
    *error = password->isEmpty() ? QStringLiteral("no password given") : QStringLiteral("the two passwords differ");
    return false;
}
