#pragma once
// A TCP socket bound to a free port of 127.0.0.1 (close-on-exec), for the raw servers of tests.
// The socket, or -1; port receives the port bound.
int BindLoopback(int& port);
