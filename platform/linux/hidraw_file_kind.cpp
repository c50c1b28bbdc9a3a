// The file kinds of hidraw nodes (hidraw_files.h): plain transfers, one
// report each, with the ways hidraw says that the device is gone and, for a
// device without report ids, the id byte it leaves out of what it reads.
#include <errno.h>
#include <pthread.h>

#include "hidraw_files.h"
#include "rt_file_kinds.h"

namespace {

// EIO and ENODEV (and a read of nothing) say the device is gone.
int Gone(ssize_t n, int err, DWORD len) { return (n < 0 && (err == EIO || err == ENODEV)) || (n == 0 && len > 0); }

// The host controller's errors for a transfer the device did not answer
// (no handshake, a garbled one, none in time): the device has usually just
// been unplugged, and the kernel has not noticed yet, as that waits for the
// hub to report the port. Windows' USB stack reports a device that does not
// respond as not connected; the handle stays usable, as the kernel's does.
DWORD TransferError(int err) {
    if (err == EPROTO || err == EILSEQ || err == ETIME) return ERROR_DEVICE_NOT_CONNECTED;
    return RtErrorFromErrno(err);
}

const RtPlainStyle kNumbered = {Gone, TransferError, 0};
const RtPlainStyle kUnnumbered = {Gone, TransferError, 1};

DWORD Open(RtFile*) { return ERROR_SUCCESS; }

void ProgressNumbered(RtFile* f) { RtPlainProgress(f, &kNumbered); }
void ProgressUnnumbered(RtFile* f) { RtPlainProgress(f, &kUnnumbered); }

// A write goes out at once; a read is left to the issuer's next wait.
void IssuedNumbered(RtFile* f, RtRequest* r) {
    if (r->kind == RT_REQ_WRITE) ProgressNumbered(f);
}
void IssuedUnnumbered(RtFile* f, RtRequest* r) {
    if (r->kind == RT_REQ_WRITE) ProgressUnnumbered(f);
}

const RtFileOps kNumberedOps = {
    0, Open, nullptr, RtPlainAdmit, IssuedNumbered, ProgressNumbered, RtPlainPollEvents, nullptr, nullptr};
const RtFileOps kUnnumberedOps = {
    0, Open, nullptr, RtPlainAdmit, IssuedUnnumbered, ProgressUnnumbered, RtPlainPollEvents, nullptr, nullptr};

pthread_once_t g_once = PTHREAD_ONCE_INIT;

void Register(void) {
    RtRegisterFileKind(PDX_HIDRAW_FILE_NUMBERED, &kNumberedOps);
    RtRegisterFileKind(PDX_HIDRAW_FILE_UNNUMBERED, &kUnnumberedOps);
}

}  // namespace

void PdxHidrawRegisterFileKinds(void) { pthread_once(&g_once, Register); }
