// The single-instance guard of the program: a Unix socket bound in the
// abstract namespace under a fixed name. It is held for the life of the
// process and freed by the kernel when the process ends, however it ends.
// Abstract names belong to a network namespace, so each namespace (each "PC")
// can run one instance.
#pragma once

enum class InstanceGuard { Acquired, AlreadyRunning, Failed };

// Binds the name; on success the socket stays open until the process ends.
InstanceGuard acquireSingleInstance(const char* name);
