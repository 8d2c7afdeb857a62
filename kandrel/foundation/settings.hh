// The library's settings: its variables of the environment (QUOR_* and
// KANDREL_*) as they were when the library loaded. A program that changes
// or clears its environment later (clearenv, setenv) changes nothing.
#pragma once

// The value name had when the library loaded, or null.
const char *setting(const char *name);
