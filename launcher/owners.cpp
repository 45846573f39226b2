#include "owners.h"

HeapBuffer::HeapBuffer(SIZE_T bytes)
    : block_(kernel.HeapAlloc(kernel.GetProcessHeap(), HEAP_ZERO_MEMORY, bytes)) {
    if (block_ == nullptr) {
        kernel.OutputDebugStringA("ERROR HeapAlloc\n");
    }
}

HeapBuffer::~HeapBuffer() {
    if (block_ != nullptr && !kernel.HeapFree(kernel.GetProcessHeap(), 0, block_)) {
        kernel.OutputDebugStringA("ERROR HeapFree\n");
    }
}
