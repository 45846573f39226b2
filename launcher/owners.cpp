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

SIZE_T AttributeList::sizeFor(DWORD count) {
    // This call only measures; it fails with ERROR_INSUFFICIENT_BUFFER.
    SIZE_T size = 0;
    kernel.InitializeProcThreadAttributeList(nullptr, count, 0, &size);
    return size;
}

AttributeList::AttributeList(DWORD count) : size_(sizeFor(count)), block_(size_) {
    if (!block_) {
        error_ = ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    if (!kernel.InitializeProcThreadAttributeList(get(), count, 0, &size_)) {
        error_ = kernel.GetLastError();
        return;
    }
    initialized_ = true;
}

AttributeList::~AttributeList() {
    if (initialized_) {
        kernel.DeleteProcThreadAttributeList(get());
    }
}
