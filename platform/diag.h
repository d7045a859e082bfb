// Diagnostics of the platform layer: bad input on a link, a socket that could
// not be opened, a refused peer. Each line goes to standard error (prefixed
// "siptrunk: ") and, while a logger is registered, into the trace log as well
// (level 3, prefixed "ERROR: "). Formats carry no prefix of their own.
// Standard error reaches the journal, which more users may read than the
// trace log: a diagnostic never quotes an item of a message (items hold
// passwords), only sizes, counts, paths and the decoders' reasons.
#pragma once

class CSIPTrunkLogger;

namespace siptrunk {

void Diag(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An informational line of the platform layer: into the trace log only
// (level 3, prefixed "INFO: "), while a logger is registered.
void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The logger that also receives diagnostics; nullptr to stop. The logger
// registers itself when it is created and withdraws when it is destroyed.
void SetDiagLogger(CSIPTrunkLogger* logger);

}  // namespace siptrunk
