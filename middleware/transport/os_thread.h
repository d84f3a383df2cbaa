// Thread helpers: a thread record with a running flag that its owner clears
// to ask the thread to stop. Every record has its own mutex and condition;
// waits check the running flag as a predicate under that mutex, so a stop
// request is never lost and records never share state.
//
// Time is read and passed only through the platform seam's clock.
#pragma once

struct os_thread;

typedef void* (*os_thread_start)(void* arg);

// Starts a thread running start(arg). nullptr when it cannot start; else a
// new record with the running flag set.
os_thread* thread_create(os_thread_start start, void* arg);
// 0 at once when the running flag is clear; otherwise waits until the flag is
// cleared (0) or ms / 1000 whole seconds have passed (1); 2 for a null
// record.
int thread_wait(os_thread* t, int ms);
// Clears the running flag, wakes waiters and joins the thread (unless called
// from the thread itself); 0.
int thread_exit(os_thread* t);
// Frees the record; a thread still running is stopped and joined first. 0.
int thread_terminate(os_thread* t);
// Sleeps ms milliseconds on the platform clock; 0.
int thread_sleep(int ms);
// Non-zero when p and the record it points to are non-null.
int thread_exist(os_thread** p);

// The running flag (false for a null record), read under the record's mutex.
bool thread_is_running(os_thread* t);
// The argument the thread was started with.
void* thread_arg(os_thread* t);
