// Handing memory that the allocator holds free back to the system.
//
// After a large build the core frees its working arrays at once; an
// allocator may keep those pages for later use, so that a process that
// built one large graph goes on holding the build's peak. Where the C
// library can return them on request (glibc's malloc_trim), this does so;
// elsewhere, and in a build without fast paths, it does nothing. It walks the allocator's free lists, so it is
// meant for the end of large builds only.
#pragma once

namespace lumo {

void release_free_memory();

}  // namespace lumo
