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
 * 5 receive stop done, 6/7 sender started/not started, 8 send stop done (worker thread).
 * May call any export; HovUninit from here is refused (level-4 line) and the worker goes on;
 * HovInit from here reports status 1 again, on this thread, before it returns. */
typedef void(HOV_CALL* HovStatusCallback)(int code);

/* One log line, "[hov] " + message, no newline; level 2 progress, 3 failures, 4 notices.
 * Called on any library thread, the audio threads included, possibly from several at once.
 * Lines raised on a thread while it runs this function (by an export called from it, say)
 * are dropped. Must not call HovInit or HovUninit. */
typedef void(HOV_CALL* HovLogCallback)(int level, const char* line);

/* Result of a reception on the worker thread: 0 with the key, -2 time-out or -3 undecodable
 * with an empty text (never a null pointer). May call any export but HovUninit (refused, as
 * from the status callback); HovReceiveStart from here starts the next receiver. */
typedef void(HOV_CALL* HovRecvCallback)(int code, const char* shareKey);

/* Any thread, several at once. Registers the log function, starts the worker thread if it is
 * not running, reports status 1 before returning. */
HOV_API void HOV_CALL HovInit(HovStatusCallback statusCallback, HovLogCallback logCallback);
/* Any thread but the worker, several at once. Stops the worker after the task in progress:
 * tasks not yet run are dropped (no status for them), a running sender and receiver are
 * stopped (one level-4 line), no library thread is left; returns once it has joined. */
HOV_API void HOV_CALL HovUninit(void);
/* Any thread; returns at once. Starts sending the six letters A-Z of shareKey; status 6 or 7
 * follows. A call refused because 256 tasks are already waiting logs at level 3 and gives no
 * status; so do the other posting exports. */
HOV_API void HOV_CALL HovSendStart(const char* shareKey);
/* Any thread; returns at once. Switches the running sender to a new key through a
 * half-second cross-fade; no status. */
HOV_API void HOV_CALL HovSendUpdate(const char* shareKey);
/* Any thread; returns at once. Stops the sender, if any; status 8 follows. */
HOV_API void HOV_CALL HovSendStop(void);
/* Any thread; returns at once. Starts listening for up to timeoutMs; status 3 or 4, then one
 * recvCallback result. A refused start (a receiver runs) leaves that receiver's callback. */
HOV_API void HOV_CALL HovReceiveStart(int timeoutMs, HovRecvCallback recvCallback);
/* Any thread; returns at once. Stops the receiver, if any, without a result; status 5. */
HOV_API void HOV_CALL HovReceiveStop(void);

#ifdef __cplusplus
}
#endif

#endif /* HOV_HOV_H */
