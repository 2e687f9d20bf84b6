// The program's reporting functions: boxes, standard output and debugger lines.
//
// Conventions: a deep failure throws a constant text (const char*) ending in an error tag such
// as "error# V7DHDY4W"; the operation that owns the work catches it, stores GetLastError() in
// LastErrorCode and calls ReportException. Precondition failures call ReportError directly.
#pragma once

#include "platform/WinTypes.h"

#include <atomic>

// The error code whose system text the reports append. Written by the handlers of thrown
// texts right before they report; every module (program, library, launcher) has its own.
extern std::atomic<DWORD> LastErrorCode;

// The text of every report box and of LogException ends with this and the system's text.
extern const char* const kSystemErrorSeparator;
constexpr const char kReportErrorCaption[] = "A program error occurred";
constexpr const char kReportExceptionCaption[] = "A program exception occurred";
// A box's composed text is cut to this buffer, terminating zero included.
constexpr int kReportBufferSize = 512;

// The system's text for LastErrorCode, allocated for the caller, who frees it with LocalFree.
// Null only when the text could not be made.
char* GetSystemErrorText();

// Shows a modal error box captioned "A program error occurred" holding the formatted text, the
// separator and the system text, cut to 511 bytes (never inside a UTF-8 character).
void ReportError(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same box captioned "A program exception occurred".
void ReportException(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes "\n!!! An exception occurred !!!\n", the formatted text, the separator and the system
// text to standard output. For threads where no box may be shown.
void LogException(const char* format, ...) __attribute__((format(printf, 1, 2)));
// One debugger line: text, " - " and the tick count in decimal, cut to 511 bytes.
void DebugTrace(const char* text);

namespace common {
// Cuts text to at most limit bytes without splitting a UTF-8 character.
void CutUtf8(char* text, std::size_t limit);
} // namespace common
