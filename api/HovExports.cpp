// The seven exports: thin shells that trace the call and hand it to the controller.
// No exception leaves an export.
#include "api/Guarded.h"
#include "api/HovController.h"
#include "hov/hov.h"
#include "runtime/HovLog.h"

extern "C" {

HOV_API void HOV_CALL HovInit(HovStatusCallback statusCallback, HovLogCallback logCallback) {
  Guarded("HovInit", [&] {
    HovLogger::GetInstance()->RegisterLogger(logCallback);
    ScopeTrace trace("HovInit");
    HovController::GetInstance()->HovInit(statusCallback);
  });
}

HOV_API void HOV_CALL HovUninit(void) {
  Guarded("HovUninit", [] {
    ScopeTrace trace("HovUninit");
    HovController::GetInstance()->HovUninit();
  });
}

HOV_API void HOV_CALL HovSendStart(const char* shareKey) {
  Guarded("HovSendStart", [&] {
    ScopeTrace trace("HovSendStart");
    HovController::GetInstance()->HovSendStart(shareKey);
  });
}

HOV_API void HOV_CALL HovSendUpdate(const char* shareKey) {
  Guarded("HovSendUpdate", [&] {
    ScopeTrace trace("HovSendUpdate");
    HovController::GetInstance()->HovSendUpdate(shareKey);
  });
}

HOV_API void HOV_CALL HovSendStop(void) {
  Guarded("HovSendStop", [] {
    ScopeTrace trace("HovSendStop");
    HovController::GetInstance()->HovSendStop();
  });
}

HOV_API void HOV_CALL HovReceiveStart(int timeoutMs, HovRecvCallback recvCallback) {
  Guarded("HovReceiveStart", [&] {
    ScopeTrace trace("HovReceiveStart");
    HovController::GetInstance()->HovReceiveStart(timeoutMs, recvCallback);
  });
}

HOV_API void HOV_CALL HovReceiveStop(void) {
  Guarded("HovReceiveStop", [] {
    ScopeTrace trace("HovReceiveStop");
    HovController::GetInstance()->HovReceiveStop();
  });
}

}  // extern "C"
