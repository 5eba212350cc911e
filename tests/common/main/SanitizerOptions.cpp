// Options every sanitized test program, and every child program the tests start, runs
// with (ASAN_OPTIONS set by hand still adds to them).
//
// The leak checker of g++ 12 finds the thread-local block of a library loaded late by
// guessing at a header in front of it that the C library stopped writing in 2.34. When
// such a block (libjpeg's, loaded with Qt's PDF writer) happens to start 16 bytes into a
// page, the guess reads garbage bounds and the checker's tracer crashes at exit ("Tracer
// caught signal 11"), failing a test that passed or not as the heap happens to fall.
// Without the interception those late blocks are not scanned, which can only add a
// report, never hide one of ours: the tests' own objects live in the blocks loaded at
// start and on the heap.
extern "C" const char* __asan_default_options() { return "intercept_tls_get_addr=0"; }
