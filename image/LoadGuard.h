#pragma once
// Loaders answer failure instead of throwing: memory that runs out while a
// picture is read (std::bad_alloc, or std::length_error for a size no
// container can hold) fails that load as damaged data would.
#include <new>
#include <stdexcept>

#include "image/cImage32.h"

// Answers load(); when it throws either, `image` is left without a picture
// and `failure` is answered instead.
template <class Result, class Load>
Result GuardLoad(cImage32& image, Result failure, Load&& load) {
    try {
        return load();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    image.DestroyDIB();
    return failure;
}
