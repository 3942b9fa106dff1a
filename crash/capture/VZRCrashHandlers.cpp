#include "crash/capture/VZRCrashHandlers.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRException.hpp"
#include "crash/capture/VZRMachException.hpp"
#include "crash/capture/VZRSignal.hpp"
#include "crash/capture/VZRUtilities.hpp"

void VZRCrashHandlersLoad() {
    VZRSignalInstallThreadStartHook();
    VZRContextSetTask(VZRContextTask::signalHandlers, [](const VZRContextInitData&) {
        VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
        if (VZRIsValidPointer(readonly))
            VZRSignalInitialize(&readonly->signal);
    });
    VZRContextSetTask(VZRContextTask::machExceptionHandlers, [](const VZRContextInitData& config) {
        VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
        if (VZRIsValidPointer(readonly))
            VZRMachExceptionInit(&readonly->machException, config.machExceptionMask);
    });
    VZRContextSetTask(VZRContextTask::exceptionHandlers, [](const VZRContextInitData&) {
        VZRReadOnlyContext* readonly = VZRSharedContext().readonly.load();
        VZRWritableContext* writable = VZRSharedContext().writable.load();
        if (VZRIsValidPointer(readonly) && VZRIsValidPointer(writable))
            VZRExceptionInitialize(&readonly->exception, &writable->userLogging.customExceptionsCount);
    });
}
