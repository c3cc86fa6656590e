// How the agent's memory allocator gives memory back: memory_linux.cpp and memory_freebsd.cpp.
#pragma once

// Large blocks (request buffers of up to 1 MiB that hostile peers can make the agent fill by the
// hundred) are to come straight from the system and go back to it when freed, so the agent's
// resident memory falls again once they are gone. Called once at start.
void ReturnLargeBlocksToTheSystem();
