// The typed requests of the control system, the signal bridge and the buttons: each is a
// task for the main thread, which the state table then takes or ignores.
#include "core/MainDlg.h"

void CMainDlg::RequestStart() {
    hosts_.poster->PostTask([this] {
        if (!grabbing_ && subsystemsUp_)
            OnStartGrabbing();
    });
}

void CMainDlg::RequestStop() {
    hosts_.poster->PostTask([this] {
        if (grabbing_)
            OnStopGrabbing();
    });
}

void CMainDlg::RequestApplySettings() {
    hosts_.poster->PostTask([this] { OnApplyCameraSettings(); });
}

void CMainDlg::RequestQuit() {
    hosts_.poster->PostTask([this] { ShutDownServer(); });
}
