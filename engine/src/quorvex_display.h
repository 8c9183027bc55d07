// Display tasks: the window display (SDL rendering into the caller's window) and the frame-grab
// display used without a window, which hands RGBA pictures to the overlay callback only.
#pragma once

#include "quorvex.h"

// Window display task entry; runs until the video decoder clears active_task_display.
void *task_display(void *p_sys);
// Frame-grab display task entry; the same lifetime.
void *task_fack_disp(void *p_sys);
