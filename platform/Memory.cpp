#include "platform/Memory.h"

#include <malloc.h>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace platform {

MappingHandle CreateFileMapping(std::size_t size)
{
    int fd = memfd_create("kura-dib", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (ftruncate(fd, static_cast<off_t>(size == 0 ? 1 : size)) != 0) {
        ::close(fd);
        return 0;
    }
    return static_cast<MappingHandle>(fd) + 1;  // descriptor 0 must not read as "none"
}

void* MapViewOfFile(MappingHandle mapping, std::size_t size)
{
    if (mapping <= 0)
        return nullptr;
    void* view = mmap(nullptr, size == 0 ? 1 : size, PROT_READ | PROT_WRITE, MAP_SHARED,
                      static_cast<int>(mapping - 1), 0);
    return view == MAP_FAILED ? nullptr : view;
}

bool UnmapViewOfFile(void* view, std::size_t size)
{
    return munmap(view, size == 0 ? 1 : size) == 0;
}

bool CloseMapping(MappingHandle mapping)
{
    return mapping > 0 && ::close(static_cast<int>(mapping - 1)) == 0;
}

HGlobal GlobalAlloc(std::size_t size)
{
    try {
        return std::make_unique<GlobalBlock>(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void ReleaseFreeMemory() { malloc_trim(0); }

}  // namespace platform
