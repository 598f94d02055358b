/* hov: pass a six-letter share key between computers as near-ultrasonic sound.
 *
 * Every export returns at once except HovInit and HovUninit: the work runs on the
 * library's own worker thread, and outcomes come back through the callbacks below.
 * Texts are 8-bit, zero-terminated and valid only during the call that passes them. */
#ifndef HOV_HOV_H
#define HOV_HOV_H

#ifdef _WIN32
#define HOV_CALL __stdcall
#else
#define HOV_CALL
#endif

/* Building the library: Windows exports through its .def file (undecorated names), Linux
 * through default visibility and a version script. */
#if defined(HOV_BUILDING_LIBRARY)
#if defined(_WIN32)
#define HOV_API
#else
#define HOV_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32) && !defined(HOV_STATIC)
#define HOV_API __declspec(dllimport)
#else
#define HOV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status of a call: 1 init done (calling thread); 3/4 receiver started/not started,
 * 5 receive stop done, 6/7 sender started/not started, 8 send stop done (worker thread). */
typedef void(HOV_CALL* HovStatusCallback)(int code);

/* One log line, "[hov] " + message, no newline; level 2 progress, 3 failures, 4 notices.
 * Called on any library thread, possibly from several at once. */
typedef void(HOV_CALL* HovLogCallback)(int level, const char* line);

/* Result of a reception on the worker thread: 0 with the key, -2 time-out or -3 undecodable
 * with an empty text (never a null pointer). */
typedef void(HOV_CALL* HovRecvCallback)(int code, const char* shareKey);

/* Registers the log function, starts the worker thread, reports status 1 before returning. */
HOV_API void HOV_CALL HovInit(HovStatusCallback statusCallback, HovLogCallback logCallback);
/* Stops and joins the worker thread; tasks not yet run are dropped. Stop sessions first. */
HOV_API void HOV_CALL HovUninit(void);
/* Starts sending the six letters A-Z of shareKey; status 6 or 7 follows. */
HOV_API void HOV_CALL HovSendStart(const char* shareKey);
/* Switches the running sender to a new key through a half-second cross-fade; no status. */
HOV_API void HOV_CALL HovSendUpdate(const char* shareKey);
/* Stops the sender, if any; status 8 follows. */
HOV_API void HOV_CALL HovSendStop(void);
/* Starts listening for up to timeoutMs; status 3 or 4, then one recvCallback result. */
HOV_API void HOV_CALL HovReceiveStart(int timeoutMs, HovRecvCallback recvCallback);
/* Stops the receiver, if any, without a result; status 5 follows. */
HOV_API void HOV_CALL HovReceiveStop(void);

#ifdef __cplusplus
}
#endif

#endif /* HOV_HOV_H */
