// A file wrapper over bytes in memory, for driving the type detector
// without a device: one file, handle 0. It counts what the detector asks of
// it, and can make the file grow or shrink after the first read, as a file
// being written while it is scanned would.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "filekit/filekit_api.h"

namespace memwrap {

struct MemFile {
  FileWrapObject base;
  std::string data;
  int64_t pos = 0;
  int64_t reads = 0;
  int64_t bytesRead = 0;
  // After the first read the content becomes this (when set).
  bool changeAfterFirstRead = false;
  std::string changed;

  explicit MemFile(std::string d);
};

inline MemFile* mf(FileWrapObject* o) { return reinterpret_cast<MemFile*>(o); }

inline int32_t seek(FileWrapObject* o, int32_t h, int32_t off, int32_t origin) {
  MemFile* m = mf(o);
  if (h != 0) return -1;
  int64_t p = origin == NX_SEEK_SET ? off : origin == NX_SEEK_CUR ? m->pos + off : int64_t(m->data.size()) + off;
  m->pos = std::clamp<int64_t>(p, 0, INT32_MAX);
  return static_cast<int32_t>(m->pos);
}
inline int32_t read(FileWrapObject* o, int32_t h, void* buf, int32_t len) {
  MemFile* m = mf(o);
  if (h != 0 || !buf || len < 0) return -1;
  ++m->reads;
  int64_t avail = std::max<int64_t>(0, int64_t(m->data.size()) - m->pos);
  int64_t n = std::min<int64_t>(avail, len);
  if (n > 0) std::memcpy(buf, m->data.data() + m->pos, static_cast<size_t>(n));
  m->pos += n;
  m->bytesRead += n;
  if (m->changeAfterFirstRead) {
    m->changeAfterFirstRead = false;
    m->data = m->changed;
  }
  return static_cast<int32_t>(n);
}
inline int32_t tell(FileWrapObject* o, int32_t h) { return h == 0 ? static_cast<int32_t>(mf(o)->pos) : -1; }
inline int32_t size(FileWrapObject* o, int32_t h) {
  return h == 0 ? static_cast<int32_t>(std::min<size_t>(mf(o)->data.size(), INT32_MAX)) : -1;
}

inline const FileWrapOps* ops() {
  static const FileWrapOps table = [] {
    FileWrapOps t{};
    t.Seek = seek;
    t.Read = read;
    t.Tell = tell;
    t.Size = size;
    return t;
  }();
  return &table;
}

inline MemFile::MemFile(std::string d) : data(std::move(d)) { base.ops = ops(); }

}  // namespace memwrap
