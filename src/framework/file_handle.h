#pragma once
// An open C stdio file owned by one object and closed when the owner goes away. Code that
// must learn whether closing worked releases the pointer and calls fclose itself.

#include <cstdio>
#include <memory>

namespace tolvo {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace tolvo
