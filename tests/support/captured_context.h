// An installer context whose console output goes to memory, for tests that
// compare what the console shows byte for byte.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/context.h"

class captured_context {
public:
    installer_context ctx;

    captured_context() { ctx.out = ::open_memstream(&data_, &size_); }
    ~captured_context() {
        std::fclose(ctx.out);
        std::free(data_);
    }
    captured_context(const captured_context&) = delete;
    captured_context& operator=(const captured_context&) = delete;

    // Everything written so far.
    std::string all() {
        std::fflush(ctx.out);
        return std::string(data_, size_);
    }
    // What was written since the last take().
    std::string take() {
        std::string text = all();
        std::string fresh = text.substr(seen_);
        seen_ = text.size();
        return fresh;
    }
    std::size_t written() {
        std::fflush(ctx.out);
        return size_;
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t seen_ = 0;
};
