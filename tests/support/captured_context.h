// An installer context whose console output goes to memory, for tests that compare what the console shows byte for
// byte.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/context.h"

class captured_context {
public:
    installer_context ctx;

    captured_context() { ctx.out = ::open_memstream(&data_, &size_); }
    ~captured_context() { std::fclose(ctx.out), std::free(data_); }
    captured_context(const captured_context&) = delete;
    captured_context& operator=(const captured_context&) = delete;

    std::string all() { return std::fflush(ctx.out), std::string(data_, size_); }  // everything written so far
    std::string take() {  // what was written since the last take()
        const std::string fresh = all().substr(seen_);
        return seen_ = size_, fresh;
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0, seen_ = 0;
};
