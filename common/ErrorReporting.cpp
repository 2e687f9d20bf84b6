#include "ErrorReporting.h"

#include "platform/DebugOutput.h"
#include "platform/MessageBox.h"
#include "platform/Timing.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

std::atomic<DWORD> LastErrorCode{0};
// Names the system that reports the error, as the text after it is the system's own.
const char* const kSystemErrorSeparator = "\n\nThe system reports this error:\n\n";

namespace common {

void CutUtf8(char* text, std::size_t limit) {
    std::size_t length = std::strlen(text);
    if (length > limit) {
        length = limit;
    }
    // The text may already end inside a character (snprintf cuts bytes): find where the last
    // character starts and drop it when its bytes do not all fit.
    std::size_t start = length;
    while (start > 0 && length - start < 4 &&
           (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        --start;
    }
    if (start > 0) {
        const auto lead = static_cast<unsigned char>(text[start - 1]);
        const std::size_t needed = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (lead >= 0x80 && start - 1 + needed > length) {
            length = start - 1;
        }
    }
    text[length] = '\0';
}

} // namespace common

namespace {

// The report's text: the formatted text, the separator and the system text, cut to the box's
// buffer. False when the system text could not be made (the caller ends the process).
bool composeReport(char (&buffer)[kReportBufferSize], const char* format, va_list arguments) {
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    common::CutUtf8(buffer, sizeof buffer - 1);
    char* systemText = GetSystemErrorText();
    if (systemText == nullptr) {
        return false;
    }
    std::string composed(buffer);
    composed += kSystemErrorSeparator;
    composed += systemText;
    LocalFree(systemText);
    std::snprintf(buffer, sizeof buffer, "%s", composed.c_str());
    common::CutUtf8(buffer, sizeof buffer - 1);
    return true;
}

[[noreturn]] void failFormatMessage() {
    MessageBoxA(0, "an error occurred with FormatMessage()", kReportErrorCaption, MB_ICONERROR);
    std::_Exit(0);
}

void showReport(const char* caption, const char* format, va_list arguments) {
    char buffer[kReportBufferSize];
    if (!composeReport(buffer, format, arguments)) {
        failFormatMessage();
    }
    MessageBoxA(0, buffer, caption, MB_ICONERROR);
}

} // namespace

char* GetSystemErrorText() {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, LastErrorCode.load(), 0x400, reinterpret_cast<char*>(&text), 0, nullptr);
    return length == 0 ? nullptr : text;
}

void ReportError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    showReport(kReportErrorCaption, format, arguments);
    va_end(arguments);
}

void ReportException(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    showReport(kReportExceptionCaption, format, arguments);
    va_end(arguments);
}

void LogException(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    va_end(arguments);
    char* systemText = GetSystemErrorText();
    if (systemText == nullptr) {
        failFormatMessage();
    }
    std::printf("\n!!! An exception occurred !!!\n%s%s%s", text.c_str(), kSystemErrorSeparator,
                systemText);
    std::fflush(stdout);
    LocalFree(systemText);
}

void DebugTrace(const char* text) {
    char buffer[kReportBufferSize];
    std::snprintf(buffer, sizeof buffer, "%s - %i", text, static_cast<int>(GetTickCount()));
    common::CutUtf8(buffer, sizeof buffer - 1);
    OutputDebugStringA(buffer);
}
