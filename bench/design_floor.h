// The least any client must do to tell the camera one event: enumerate the
// video input category reading every friendly name, bind the camera, make one
// IKsPropertySet::Set, release everything. COM must be initialised on the
// calling thread.
#pragma once

// 1 when the camera of that name took the request.
int SendDesignFloorEvent(const wchar_t *cameraName);
