// Clang's thread-safety annotations: which lock guards which member, which
// functions expect a lock held. Clang checks them with -Wthread-safety (the
// fuzz build compiles the agent with clang); other compilers ignore them.
#pragma once

#if defined(__clang__)
#define SIPTRUNK_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define SIPTRUNK_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) SIPTRUNK_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY SIPTRUNK_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) SIPTRUNK_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) SIPTRUNK_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) SIPTRUNK_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) SIPTRUNK_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) SIPTRUNK_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) SIPTRUNK_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
// For the few places that lock a recursive ThreadMutex again while holding it,
// which the analysis cannot follow; each says why at its definition.
#define NO_THREAD_SAFETY_ANALYSIS SIPTRUNK_THREAD_ATTRIBUTE(no_thread_safety_analysis)
