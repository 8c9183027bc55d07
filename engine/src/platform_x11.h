// Window calls of the engine on X11: the caller's window handle carries an X Window id. The
// engine uses its own display connection for these, one call at a time.
#pragma once

#include "quorvexapi.h"

// Reads the window's client-area size. 0, or -1 when there is no window or no X server.
int GetWindowClientSize(HWND hwnd, int *width, int *height);
// Resizes the window so that its client area is width x height, keeping its position and
// stacking order. 0, or -1 when there is no window or no X server.
int SetWindowsClientSize(HWND hwnd, int width, int height);

// A display connection owned by one task (the window display reads the client size of its
// window for every picture). Null when no X server can be reached.
struct x11_conn_t;
x11_conn_t *x11_connect(void);
void x11_disconnect(x11_conn_t *c);
// 0, or -1 when the window cannot be read (it is gone, say).
int x11_client_size(x11_conn_t *c, HWND hwnd, int *width, int *height);
