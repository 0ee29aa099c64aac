// SPDX-License-Identifier: GPL-2.0-or-later
// zepa_core -- the container core: the directory reader, the registry of
// containers, the open-file tables and handles, and positions, seeks and
// reads inside a container. Reached from outside only through the operation
// table of zepa_core_GetOps().
//
// Every operation that looks at a container copies the record out of the
// registry (l_Get), works on that copy and, when the change must last, stores
// it back at the same position (l_Set). The copy and the stored record share
// their heap blocks, so whatever is freed through the copy is stored back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "zepa.h"
#include "zepa_ll.h"
#include "zepa_seams.h"
#include "zepa_strzz.h"

namespace {

constexpr char kModule[] = "zepa_core";

// A container's number of open-file slots.
constexpr uint32_t kOpenFileSlots = 64;
// An unset cached length, offset or position, and a failed position query.
constexpr uint32_t kUnset = 0xFFFFFFFFU;
constexpr long kNoPosition = -1;
// Where the format byte stands; the bytes before it are the lead-in.
constexpr long kVersionOffset = 5;

// A container's directory, as read from the container file.
struct ContainerHeader {
  uint8_t version;
  uint32_t fileCount;
  uint32_t dataStart;
  zepa_link lengths;  // uint32_t per entry: its data length
  zepa_link extra;    // uint32_t per entry: the second table, unused
  strzz names;        // the entry names
};

// One slot of a container's open-file table; handle 0 = free.
struct OpenFile {
  Handle handle;
  BoundFile boundfile;  // pfs: a loose file's own stream, null when contained
  uint32_t length;      // kUnset until measured
  uint32_t offset;      // read position within the file
};

// One registered container file; a record whose boundfile.filename is null is
// an empty record that belongs to no name.
struct Container {
  BoundFile boundfile;  // filename: the registered name and path; pfs: its stream
  OpenFile openFileArray[kOpenFileSlots];
  ContainerHeader header;
  int prepared;
  uint32_t physicalLength;  // kUnset until measured
};

int _started = 0;
zepa_link _containers = {};  // records of sizeof(Container)

const zepa::seam::Stdio &io() { return zepa::seam::stdio(); }

// ---------------------------------------------------------------------------
// Records: setting empty (frees nothing) and freeing (releases what they own).

void zepa_core_ClearBoundFile(BoundFile *bf) {
  if (bf == nullptr) return;
  bf->pfs = nullptr;
  bf->filename = nullptr;
  bf->mode = nullptr;
}

void free_boundfile(BoundFile *bf) {
  if (bf->pfs != nullptr) io().fclose(bf->pfs);
  zepa::seam::release(bf->filename);
  zepa::seam::release(bf->mode);
  zepa_core_ClearBoundFile(bf);
}

void set_slot_free(OpenFile *slot) {
  slot->handle = 0;
  zepa_core_ClearBoundFile(&slot->boundfile);
  slot->length = kUnset;
  slot->offset = 0;
}

void free_slot(OpenFile *slot) {
  free_boundfile(&slot->boundfile);
  set_slot_free(slot);
}

void set_header_empty(ContainerHeader *header) {
  header->version = 0;
  header->fileCount = 0;
  header->dataStart = 0;
  zepa_link_ptrs_init(&header->lengths, sizeof(uint32_t));
  zepa_link_ptrs_init(&header->extra, sizeof(uint32_t));
  zepa_strzz_Init(&header->names);
}

void empty_header(ContainerHeader *header) {
  header->lengths.l_DelAll(&header->lengths);
  header->extra.l_DelAll(&header->extra);
  // An out-of-memory handler may have destroyed the names already.
  if (header->names.Destroy != nullptr) header->names.Destroy(&header->names);
  set_header_empty(header);
}

void set_container_empty(Container *container) {
  zepa_core_ClearBoundFile(&container->boundfile);
  for (OpenFile &slot : container->openFileArray) set_slot_free(&slot);
  set_header_empty(&container->header);
  container->prepared = 0;
  container->physicalLength = kUnset;
}

void free_open_files(Container *container) {
  for (OpenFile &slot : container->openFileArray) free_slot(&slot);
}

void free_container(Container *container) {
  free_boundfile(&container->boundfile);
  free_open_files(container);
  empty_header(&container->header);
  set_container_empty(container);
}

bool slot_in_use(const OpenFile &slot) { return slot.handle != 0; }

bool any_slot_in_use(const Container &container) {
  for (const OpenFile &slot : container.openFileArray) {
    if (slot_in_use(slot)) return true;
  }
  return false;
}

// The lowest free slot index, or kOpenFileSlots when every slot is taken.
uint32_t lowest_free_slot(const Container &container) {
  uint32_t index = 0;
  while (index < kOpenFileSlots && slot_in_use(container.openFileArray[index])) ++index;
  return index;
}

bool is_empty_record(const Container &container) { return container.boundfile.filename == nullptr; }

bool has_name(const Container &container, const char *name) {
  return !is_empty_record(container) && std::strcmp(container.boundfile.filename, name) == 0;
}

// ---------------------------------------------------------------------------
// The registry.

// Before the first start the registry list is not initialised yet; it holds
// nothing then.
uint32_t registry_count() { return _containers.l_Count == nullptr ? 0 : _containers.l_Count(&_containers); }

void fetch_container(uint32_t pos, Container *container) { _containers.l_Get(&_containers, pos, container); }

void store_container(uint32_t pos, const Container *container) { _containers.l_Set(&_containers, pos, container); }

// The first non-empty record named `name`: 1 and its position, or 0.
int _i_findcontainer(const char *name, uint32_t *pos) {
  if (name == nullptr) return 0;
  const uint32_t count = registry_count();
  Container container;
  for (uint32_t i = 0; i < count; ++i) {
    fetch_container(i, &container);
    if (has_name(container, name)) {
      if (pos != nullptr) *pos = i;
      return 1;
    }
  }
  return 0;
}

// The first non-empty record named `name` that is not prepared yet.
bool find_unprepared_container(const char *name, uint32_t *pos, Container *container) {
  const uint32_t count = registry_count();
  for (uint32_t i = 0; i < count; ++i) {
    fetch_container(i, container);
    if (has_name(*container, name) && container->prepared == 0) {
      *pos = i;
      return true;
    }
  }
  return false;
}

// The slot holding `handle`: the container's position, its copy and the slot
// index. Handle 0 matches no slot.
bool find_handle(uint32_t handle, uint32_t *pos, Container *container, uint32_t *index) {
  if (handle == 0) return false;
  const uint32_t count = registry_count();
  for (uint32_t i = 0; i < count; ++i) {
    fetch_container(i, container);
    for (uint32_t j = 0; j < kOpenFileSlots; ++j) {
      if (container->openFileArray[j].handle == handle) {
        *pos = i;
        *index = j;
        return true;
      }
    }
  }
  return false;
}

bool handle_in_use(uint32_t handle) {
  uint32_t pos = 0;
  uint32_t index = 0;
  Container container;
  return find_handle(handle, &pos, &container, &index);
}

bool is_loose(const OpenFile &slot) { return slot.boundfile.pfs != nullptr; }

// ---------------------------------------------------------------------------
// Streams.

// Rewinds, then seeks to `position` from the start; the fseek result.
int _i_stream_seekset(FILE *stream, long position) {
  io().rewind(stream);
  return io().fseek(stream, position, SEEK_SET);
}

// The size of the stream in bytes, or -1; the stream is put back.
long _i_stream_getlength(FILE *stream) {
  if (stream == nullptr) return kNoPosition;
  const long position = io().ftell(stream);
  if (position == kNoPosition) return kNoPosition;
  long size = kNoPosition;
  if (io().fseek(stream, 0, SEEK_END) == 0) size = io().ftell(stream);
  _i_stream_seekset(stream, position);
  return size;
}

// `count` items of `size` bytes into `buffer` with one stream read; the
// whole items go to *read. The same outcome as `count` reads of one item:
// an item that cannot be read whole ends the read and is not counted.
ErrorNumber read_items(FILE *stream, uint32_t size, uint32_t count, void *buffer, uint32_t *read) {
  *read = 0;
  if (count == 0) return ZEPA_OK;
  if (stream == nullptr || buffer == nullptr || size == 0) return ZEPA_E_BADARGS;
  auto *bytes = static_cast<uint8_t *>(buffer);
  // Whole items per stream read; all of them unless size x count does not
  // fit in a size_t (only on a 32-bit machine).
  const uint64_t per_read = std::min<uint64_t>(count, SIZE_MAX / size);
  while (*read < count) {
    const auto items = static_cast<std::size_t>(std::min<uint64_t>(per_read, count - *read));
    const std::size_t wanted = items * size;
    const std::size_t got = io().fread(bytes + std::size_t{*read} * size, 1, wanted, stream);
    *read += static_cast<uint32_t>(got / size);
    if (got != wanted) return ZEPA_E_EOF;
  }
  return ZEPA_OK;
}

uint8_t _i_stream_readbyte(FILE *stream, ErrorNumber *errornumber) {
  *errornumber = ZEPA_OK;
  if (stream == nullptr) return 0;
  const int c = io().fgetc(stream);
  if (c == EOF) {
    *errornumber = ZEPA_E_EOF;
    return 0;
  }
  return static_cast<uint8_t>(c);
}

// ---------------------------------------------------------------------------
// The directory reader. Integers are big-endian, assembled byte by byte.

bool read_bytes(FILE *stream, uint8_t *bytes, std::size_t n) { return io().fread(bytes, 1, n, stream) == n; }

bool read_u8(FILE *stream, uint8_t *value) { return read_bytes(stream, value, 1); }

uint16_t be16(const uint8_t *b) { return static_cast<uint16_t>((b[0] << 8) | b[1]); }

uint32_t be32(const uint8_t *b) {
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

bool read_u32(FILE *stream, uint32_t *value) {
  uint8_t b[4];
  if (!read_bytes(stream, b, sizeof b)) return false;
  *value = be32(b);
  return true;
}

ErrorNumber read_length_table(FILE *stream, ContainerHeader *header) {
  for (uint32_t i = 0; i < header->fileCount; ++i) {
    io().fseek(stream, 4, SEEK_CUR);  // the skipped column
    uint32_t length = 0;
    if (!read_u32(stream, &length)) return ZEPA_E_EOA;
    if (header->lengths.l_Add(&header->lengths, &length) == 0) return ZEPA_E_NOMEM;
  }
  return ZEPA_OK;
}

ErrorNumber read_second_table(FILE *stream, ContainerHeader *header) {
  for (uint32_t i = 0; i < header->fileCount; ++i) {
    uint32_t word = 0;
    if (!read_u32(stream, &word)) return ZEPA_E_EOA;
    if (header->extra.l_Add(&header->extra, &word) == 0) return ZEPA_E_NOMEM;
  }
  return ZEPA_OK;
}

// Reads one name of `length` bytes and adds it to the names. A string list
// whose out-of-memory handler returned has added nothing, and may have been
// destroyed by the handler; the directory would then be out of step, so that
// is out of memory too.
ErrorNumber read_name(FILE *stream, uint16_t length, strzz *names) {
  auto *name = static_cast<char *>(zepa::seam::alloc(std::size_t{length} + 1));
  if (name == nullptr) return ZEPA_E_NOMEM;
  // A name of length 0 reads no item: the directory is broken.
  if (length == 0 || io().fread(name, length, 1, stream) != 1) {
    zepa::seam::release(name);
    return ZEPA_E_EOA;
  }
  name[length] = '\0';
  const uint32_t before = names->Count(names);
  names->Add(names, name);
  zepa::seam::release(name);
  if (names->Count == nullptr) return ZEPA_E_NOMEM;
  return names->Count(names) == before + 1 ? ZEPA_OK : ZEPA_E_NOMEM;
}

ErrorNumber read_names(FILE *stream, ContainerHeader *header) {
  const std::size_t n = header->fileCount;
  auto *raw = static_cast<uint8_t *>(zepa::seam::alloc(2 * n));
  if (raw == nullptr) return ZEPA_E_NOMEM;
  ErrorNumber e = io().fread(raw, 2, n, stream) < n ? ZEPA_E_EOA : ZEPA_OK;
  for (std::size_t i = 0; i < n && e == ZEPA_OK; ++i) e = read_name(stream, be16(raw + 2 * i), &header->names);
  zepa::seam::release(raw);
  return e;
}

// Fills Container->header from its stream; on success the stream stands where
// it stood on entry. A stream that cannot report its position fails.
ErrorNumber _i_readzepaheader(Container *Container) {
  ZEPA_ASSERT(Container);
  if (!Container) return ZEPA_E_BADARGS;
  ContainerHeader *header = &Container->header;
  set_header_empty(header);
  FILE *stream = Container->boundfile.pfs;
  if (stream == nullptr) return ZEPA_E_EOA;
  const long entry = io().ftell(stream);
  if (entry == kNoPosition) return ZEPA_E_EOA;

  _i_stream_seekset(stream, kVersionOffset);
  if (!read_u8(stream, &header->version)) return ZEPA_E_EOA;
  if (header->version != 0) return ZEPA_E_TOONEW;
  if (!read_u32(stream, &header->fileCount) || !read_u32(stream, &header->dataStart)) return ZEPA_E_EOA;

  ErrorNumber e = read_length_table(stream, header);
  if (e == ZEPA_OK) e = read_second_table(stream, header);
  if (e == ZEPA_OK) e = read_names(stream, header);
  if (e != ZEPA_OK) return e;

  io().rewind(stream);
  if (entry != 0) io().fseek(stream, entry, SEEK_SET);
  return ZEPA_OK;
}

// ---------------------------------------------------------------------------
// Slots, entries and positions.

// The header index of the slot's entry: the lowest equal name, 0 when none.
uint32_t _i_OpenArrayToHeaderIndex(Container *Container, uint32_t Index) {
  ZEPA_ASSERT(Container);
  ZEPA_ASSERT(Index < (64));
  ZEPA_ASSERT(!(Container->openFileArray[Index].boundfile.pfs));
  if (!Container || Index >= kOpenFileSlots) return 0;
  const char *filename = Container->openFileArray[Index].boundfile.filename;
  if (filename == nullptr) return 0;
  strzz *names = &Container->header.names;
  const uint32_t count = names->Count(names);
  for (uint32_t h = 0; h < count; ++h) {
    if (std::strcmp(names->GetByIndex(names, h), filename) == 0) return h;
  }
  return 0;
}

const char *_i_HeaderIndexToName(Container *Container, uint32_t HeaderIndex) {
  strzz *names = &Container->header.names;
  return names->GetByIndex(names, HeaderIndex);
}

// The lowest slot whose name is the entry's name, 0 when none.
uint32_t _i_HeaderIndexToOpenArray(Container *Container, uint32_t HeaderIndex) {
  ZEPA_ASSERT(Container);
  if (!Container) return 0;
  const char *name = _i_HeaderIndexToName(Container, HeaderIndex);
  if (name == nullptr) return 0;
  for (uint32_t j = 0; j < kOpenFileSlots; ++j) {
    const char *filename = Container->openFileArray[j].boundfile.filename;
    if (filename != nullptr && std::strcmp(filename, name) == 0) return j;
  }
  return 0;
}

uint32_t _i_HeaderIndexToFileOffset(Container *Container, uint32_t HeaderIndex) {
  return Container->openFileArray[_i_HeaderIndexToOpenArray(Container, HeaderIndex)].offset;
}

// Where byte `offset` of entry `HeaderIndex` lies in the container file.
uint32_t _i_entry_getphysicalpos(Container *Container, uint32_t HeaderIndex, uint32_t offset) {
  const ContainerHeader &header = Container->header;
  if (header.dataStart == kUnset) return kUnset;
  zepa_link *lengths = &Container->header.lengths;
  const uint32_t records = lengths->l_Count(lengths);
  uint32_t position = header.dataStart;
  uint32_t added = 0;
  for (uint32_t h = HeaderIndex; h > 0 && added < records; --h, ++added) {
    uint32_t length = 0;
    lengths->l_Get(lengths, h - 1, &length);
    position += length;
  }
  return position + offset;
}

// Getters: *flag becomes 1 when they filled in an unset field.
void clear_flag(uint32_t *flag) {
  if (flag != nullptr) *flag = 0;
}

void raise_flag(uint32_t *flag) {
  if (flag != nullptr) *flag = 1;
}

uint32_t _i_loose_getfileoffset(Container *Container, uint32_t Index, uint32_t *flag) {
  clear_flag(flag);
  ZEPA_ASSERT(Index < (64));
  if (Index >= kOpenFileSlots) return kUnset;
  OpenFile &slot = Container->openFileArray[Index];
  if (slot.offset == kUnset) {
    const long position = io().ftell(slot.boundfile.pfs);
    if (position != kNoPosition) {
      slot.offset = static_cast<uint32_t>(position);
      raise_flag(flag);
    }
  }
  return slot.offset;
}

uint32_t _i_contained_getfileoffset(Container *Container, uint32_t Index, uint32_t *flag) {
  clear_flag(flag);
  ZEPA_ASSERT(Index < (64));
  if (Index >= kOpenFileSlots) return kUnset;
  return Container->openFileArray[Index].offset;
}

void _i_loose_setfileoffset(Container *Container, uint32_t Index, uint32_t value) {
  ZEPA_ASSERT(Index < (64));
  if (Index >= kOpenFileSlots) return;
  Container->openFileArray[Index].offset = value;
}

uint32_t _i_loose_getfilelength(Container *Container, uint32_t Index, uint32_t *flag) {
  clear_flag(flag);
  ZEPA_ASSERT(Index < (64));
  if (Index >= kOpenFileSlots) return kUnset;
  OpenFile &slot = Container->openFileArray[Index];
  if (slot.length == kUnset) {
    const long size = _i_stream_getlength(slot.boundfile.pfs);
    if (size != kNoPosition) {
      slot.length = static_cast<uint32_t>(size);
      raise_flag(flag);
    }
  }
  return slot.length;
}

uint32_t _i_contained_getfilelength(Container *Container, uint32_t Index, uint32_t *flag) {
  clear_flag(flag);
  ZEPA_ASSERT(Index < (64));
  if (Index >= kOpenFileSlots) return kUnset;
  OpenFile &slot = Container->openFileArray[Index];
  if (slot.length == kUnset) {
    const uint32_t h = _i_OpenArrayToHeaderIndex(Container, Index);
    zepa_link *lengths = &Container->header.lengths;
    lengths->l_Get(lengths, h, &slot.length);
    raise_flag(flag);
  }
  return slot.length;
}

long _i_container_getfileoffset(Container *PContainer, uint32_t *flag) {
  clear_flag(flag);
  ZEPA_ASSERT(PContainer->boundfile.pfs);
  ZEPA_ASSERT(PContainer->prepared);
  if (!PContainer->boundfile.pfs) return kNoPosition;
  return io().ftell(PContainer->boundfile.pfs);
}

uint32_t _i_container_getfilelength(Container *Container, uint32_t *flag) {
  clear_flag(flag);
  if (Container->physicalLength == kUnset) {
    const long size = _i_stream_getlength(Container->boundfile.pfs);
    if (size != kNoPosition) {
      Container->physicalLength = static_cast<uint32_t>(size);
      raise_flag(flag);
    }
  }
  return Container->physicalLength;
}

// Puts the container stream at `position`; at or past the container's end
// is end of file and leaves the stream alone.
ErrorNumber _i_container_seek(Container *Container, uint32_t position) {
  ZEPA_ASSERT(Container->boundfile.pfs);
  ZEPA_ASSERT(Container->prepared);
  if (!Container->boundfile.pfs || !Container->prepared) return ZEPA_E_BADARGS;
  const auto target = static_cast<int32_t>(position);
  if (target >= static_cast<int32_t>(_i_container_getfilelength(Container, nullptr))) return ZEPA_E_EOF;
  const long current = _i_container_getfileoffset(Container, nullptr);
  if (current != target) io().fseek(Container->boundfile.pfs, target, SEEK_SET);
  if (_i_container_getfileoffset(Container, nullptr) == target) return ZEPA_OK;
  _i_stream_seekset(Container->boundfile.pfs, current);
  return ZEPA_E_UNEXPECTED;
}

// Where the next read of contained slot `Index` starts in the container file.
uint32_t contained_read_position(Container *Container, uint32_t Index) {
  const uint32_t h = _i_OpenArrayToHeaderIndex(Container, Index);
  const uint32_t o = _i_HeaderIndexToFileOffset(Container, h);
  return _i_entry_getphysicalpos(Container, h, o);
}

void store_error(ErrorNumber *errornumber, ErrorNumber e) {
  if (errornumber != nullptr) *errornumber = e;
}

// ---------------------------------------------------------------------------
// Operations 0-3, 8-13: state and registry.

void zepa_core_Init() {
  ZEPA_ASSERT(!_started);
  if (_started) return;
  zepa_link_ptrs_init(&_containers, sizeof(Container));
  _started = 1;
}

uint32_t zepa_core_Uninit() {
  ZEPA_ASSERT(_started);
  if (!_started) return 0;
  _started = 0;
  Container container;
  while (registry_count() != 0) {
    fetch_container(0, &container);
    free_container(&container);
    _containers.l_DelByPos(&_containers, 0);
  }
  return 0;
}

int zepa_core_IsStarted() { return _started; }

int zepa_core_RegisterContainer(const char *ContainerFileName) {
  ZEPA_ASSERT(_started);
  ZEPA_ASSERT(ContainerFileName);
  if (!_started || !ContainerFileName) return 0;
  Container container;
  set_container_empty(&container);
  container.boundfile.filename = zepa::seam::copy_string(ContainerFileName);
  if (container.boundfile.filename == nullptr) return 0;
  if (_containers.l_Add(&_containers, &container) == 0) {
    free_container(&container);
    return 0;
  }
  return 1;
}

int zepa_core_IsContainerRegistered(const char *name) {
  ZEPA_ASSERT(_started);
  if (!_started) return 0;
  return _i_findcontainer(name, nullptr);
}

int zepa_core_IsContainerPrepared(const char *name) {
  uint32_t pos = 0;
  if (!_i_findcontainer(name, &pos)) return 0;
  Container container;
  fetch_container(pos, &container);
  return container.prepared;
}

uint32_t zepa_core_PrepareContainer(const char *ContainerFileName) {
  ZEPA_ASSERT(_started);
  ZEPA_ASSERT(ContainerFileName);
  if (!_started || !ContainerFileName) return ZEPA_E_BADARGS;
  uint32_t pos = 0;
  Container container;
  if (!find_unprepared_container(ContainerFileName, &pos, &container)) return ZEPA_E_NOCONTAINER;
  FILE *stream = io().fopen(ContainerFileName, "rb");
  if (stream == nullptr) return ZEPA_E_REALOPEN;
  container.boundfile.pfs = stream;
  if (_i_readzepaheader(&container) != ZEPA_OK) {
    io().fclose(stream);
    empty_header(&container.header);
    return ZEPA_E_EOA;
  }
  container.prepared = 1;
  store_container(pos, &container);
  return ZEPA_OK;
}

int zepa_core_UnregisterContainer(const char *ContainerFileName) {
  ZEPA_ASSERT(_started);
  ZEPA_ASSERT(ContainerFileName);
  if (!_started || !ContainerFileName) return 0;
  uint32_t pos = 0;
  if (!zepa_core_IsContainerRegistered(ContainerFileName) || !_i_findcontainer(ContainerFileName, &pos)) return 0;
  Container container;
  fetch_container(pos, &container);
  free_container(&container);
  _containers.l_DelByPos(&_containers, pos);
  return 1;
}

// Frees the container's open files, closes its stream and empties its
// directory; the container stays registered under its name.
int zepa_core_UnprepareContainer(const char *name) {
  uint32_t pos = 0;
  if (!_i_findcontainer(name, &pos)) return 0;
  Container container;
  fetch_container(pos, &container);
  free_open_files(&container);
  if (container.boundfile.pfs != nullptr) io().fclose(container.boundfile.pfs);
  container.boundfile.pfs = nullptr;
  empty_header(&container.header);
  container.prepared = 0;
  container.physicalLength = kUnset;
  store_container(pos, &container);
  return 1;
}

// ---------------------------------------------------------------------------
// Operations 4-7, 14-19: open files and handles.

Handle zepa_core_GenerateHandle() {
  for (uint32_t handle = 1; handle != 0; ++handle) {
    if (!handle_in_use(handle)) return handle;
  }
  return 0;
}

int zepa_core_AddHandle(uint32_t Handle, const char *container, BoundFile *bf) {
  ZEPA_ASSERT(_started);
  if (!_started) return 4;
  if (Handle == 0) return 3;
  if (handle_in_use(Handle)) return 1;
  if (bf == nullptr || bf->pfs == nullptr || io().ftell(bf->pfs) == kNoPosition) return 2;
  uint32_t pos = 0;
  if (!_i_findcontainer(container, &pos)) return 4;
  Container copy;
  fetch_container(pos, &copy);
  const uint32_t index = lowest_free_slot(copy);
  if (index == kOpenFileSlots) return 5;
  OpenFile &slot = copy.openFileArray[index];
  set_slot_free(&slot);
  slot.handle = Handle;
  slot.boundfile = *bf;
  store_container(pos, &copy);
  return 0;
}

// Releases the handle's slot; the container's last slot releases the
// container, leaving an empty record.
int zepa_core_FreeHandle(uint32_t Handle) {
  ZEPA_ASSERT(_started);
  ZEPA_ASSERT(Handle != (0U));
  uint32_t pos = 0;
  uint32_t index = 0;
  Container container;
  if (!_started || !find_handle(Handle, &pos, &container, &index)) return 0;
  free_slot(&container.openFileArray[index]);
  if (!any_slot_in_use(container)) free_container(&container);
  store_container(pos, &container);
  return 1;
}

FILE *zepa_core_GetFSP(uint32_t Handle) {
  ZEPA_ASSERT(_started);
  uint32_t pos = 0;
  uint32_t index = 0;
  Container container;
  if (_started && find_handle(Handle, &pos, &container, &index)) return container.openFileArray[index].boundfile.pfs;
  ZEPA_ASSERT(0);
  return nullptr;
}

uint32_t zepa_core_PrepareFile(const char *ZEPA, const char *FileName) {
  ZEPA_ASSERT(_started);
  ZEPA_ASSERT(ZEPA);
  ZEPA_ASSERT(FileName);
  if (!_started || !ZEPA || !FileName) return ZEPA_E_BADARGS;
  uint32_t pos = 0;
  if (!_i_findcontainer(ZEPA, &pos)) return ZEPA_E_NOCONTAINER;
  Container container;
  fetch_container(pos, &container);
  strzz *names = &container.header.names;
  if (names->Find(names, FileName) < 0) return ZEPA_E_NOFILE;
  const uint32_t index = lowest_free_slot(container);
  if (index == kOpenFileSlots) return ZEPA_E_TOOMANYCONTAINERS;
  OpenFile *Pzepafile = &container.openFileArray[index];
  ZEPA_ASSERT(!Pzepafile->boundfile.filename);
  const Handle handle = zepa_core_GenerateHandle();
  if (handle == 0) return ZEPA_E_NOHANDLE;
  char *filename = zepa::seam::copy_string(FileName);
  if (filename == nullptr) return ZEPA_E_NOMEM;
  Pzepafile->handle = handle;
  Pzepafile->boundfile.pfs = nullptr;
  Pzepafile->boundfile.filename = filename;
  store_container(pos, &container);
  return ZEPA_OK;
}

int zepa_core_CheckFileExists(const char *container_name, const char *name) {
  ZEPA_ASSERT(_started);
  uint32_t pos = 0;
  if (!_started || name == nullptr || !_i_findcontainer(container_name, &pos)) return 0;
  Container container;
  fetch_container(pos, &container);
  ZEPA_ASSERT(container.prepared);
  strzz *names = &container.header.names;
  const uint32_t count = names->Count(names);
  for (uint32_t h = 0; h < count; ++h) {
    if (std::strcmp(names->GetByIndex(names, h), name) == 0) return 1;
  }
  return 0;
}

int zepa_core_IsValidHandle(uint32_t Handle) {
  ZEPA_ASSERT(_started);
  uint32_t pos = 0;
  uint32_t index = 0;
  Container container;
  return _started && find_handle(Handle, &pos, &container, &index) ? 1 : 0;
}

void zepa_core_SetFileMode(uint32_t Handle, const char *mode) {
  ZEPA_ASSERT(_started);
  uint32_t pos = 0;
  uint32_t index = 0;
  Container container;
  if (!_started || !find_handle(Handle, &pos, &container, &index)) return;
  BoundFile &bf = container.openFileArray[index].boundfile;
  zepa::seam::release(bf.mode);
  bf.mode = mode == nullptr ? nullptr : zepa::seam::copy_string(mode);
  store_container(pos, &container);
}

const char *zepa_core_GetFileMode(uint32_t Handle) {
  ZEPA_ASSERT(_started);
  uint32_t pos = 0;
  uint32_t index = 0;
  Container container;
  if (!_started || !find_handle(Handle, &pos, &container, &index)) return nullptr;
  return container.openFileArray[index].boundfile.mode;
}

// The handle of the lowest open slot named `name` in the first container
// named `container_name`; 0 when none.
Handle zepa_core_GetHandle(const char *container_name, const char *name) {
  ZEPA_ASSERT(_started);
  uint32_t pos = 0;
  if (!_started || name == nullptr || !_i_findcontainer(container_name, &pos)) return 0;
  Container container;
  fetch_container(pos, &container);
  for (const OpenFile &slot : container.openFileArray) {
    if (slot_in_use(slot) && slot.boundfile.filename != nullptr && std::strcmp(slot.boundfile.filename, name) == 0) {
      return slot.handle;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Operations 20-25: positions, lengths and reads.

uint32_t zepa_core_GetFileOffset(uint32_t Handle, uint32_t *offset) {
  ZEPA_ASSERT(_started);
  ZEPA_ASSERT(Handle != (0U));
  uint32_t pos = 0;
  uint32_t index = 0;
  Container container;
  if (!_started || !find_handle(Handle, &pos, &container, &index)) return ZEPA_E_BADHANDLE;
  uint32_t flag = 0;
  const uint32_t value = is_loose(container.openFileArray[index])
                             ? _i_loose_getfileoffset(&container, index, &flag)
                             : _i_contained_getfileoffset(&container, index, &flag);
  if (offset != nullptr) *offset = value;
  if (flag == 1) store_container(pos, &container);
  return ZEPA_OK;
}

uint32_t zepa_core_SetFileOffset(uint32_t Handle, uint32_t offset) {
  ZEPA_ASSERT(_started);
  ZEPA_ASSERT(Handle != (0U));
  uint32_t pos = 0;
  uint32_t index = 0;
  Container container;
  if (!_started || !find_handle(Handle, &pos, &container, &index)) return ZEPA_E_BADHANDLE;
  _i_loose_setfileoffset(&container, index, offset);
  store_container(pos, &container);
  return ZEPA_OK;
}

uint32_t zepa_core_GetFileLength(uint32_t Handle, uint32_t *length) {
  ZEPA_ASSERT(_started);
  uint32_t pos = 0;
  uint32_t index = 0;
  Container container;
  if (!_started || !find_handle(Handle, &pos, &container, &index)) return ZEPA_E_BADHANDLE;
  uint32_t flag = 0;
  const uint32_t value = is_loose(container.openFileArray[index])
                             ? _i_loose_getfilelength(&container, index, &flag)
                             : _i_contained_getfilelength(&container, index, &flag);
  if (length != nullptr) *length = value;
  if (flag == 1) store_container(pos, &container);
  return ZEPA_OK;
}

// Reads `count` items of `size` bytes at the file's offset. The read runs on
// into the following entries; only the container's end stops it. The offset
// advances by the amount asked for, whatever was read.
uint32_t zepa_core_ContainedRead(uint32_t Handle, uint32_t size, uint32_t count, void *buffer,
                                 ErrorNumber *errornumber) {
  ZEPA_ASSERT(_started);
  store_error(errornumber, ZEPA_OK);
  uint32_t pos = 0;
  uint32_t j = 0;
  Container container;
  if (!_started || !find_handle(Handle, &pos, &container, &j)) return 0;
  ZEPA_ASSERT(!container.openFileArray[j].boundfile.pfs);
  if (is_loose(container.openFileArray[j])) {
    store_error(errornumber, ZEPA_E_BADHANDLE);
    return 0;
  }
  uint32_t read = 0;
  const ErrorNumber e = _i_container_seek(&container, contained_read_position(&container, j));
  if (e != ZEPA_OK) {
    store_error(errornumber, e);
  } else {
    const ErrorNumber r = read_items(container.boundfile.pfs, size, count, buffer, &read);
    if (r != ZEPA_OK) store_error(errornumber, r);
  }
  container.openFileArray[j].offset += size * count;
  store_container(pos, &container);
  return read;
}

// The position of byte `offset` of the open file in the container file;
// kUnset for a handle no slot holds and for a loose file.
uint32_t zepa_core_GetPhysicalOffset(uint32_t Handle, uint32_t offset) {
  ZEPA_ASSERT(_started);
  uint32_t pos = 0;
  uint32_t index = 0;
  Container container;
  if (!_started || !find_handle(Handle, &pos, &container, &index)) return kUnset;
  if (is_loose(container.openFileArray[index])) return kUnset;
  return _i_entry_getphysicalpos(&container, _i_OpenArrayToHeaderIndex(&container, index), offset);
}

// The next byte of a contained file; 0 with an error, or when no slot holds
// the handle.
uint8_t zepa_core_ReadOneByte(uint32_t Handle, ErrorNumber *errornumber) {
  ZEPA_ASSERT(_started);
  store_error(errornumber, ZEPA_OK);
  uint32_t pos = 0;
  uint32_t j = 0;
  Container container;
  if (!_started || !find_handle(Handle, &pos, &container, &j)) return 0;
  ZEPA_ASSERT(!container.openFileArray[j].boundfile.pfs);
  if (is_loose(container.openFileArray[j])) {
    store_error(errornumber, ZEPA_E_BADHANDLE);
    return 0;
  }
  ErrorNumber e = _i_container_seek(&container, contained_read_position(&container, j));
  if (e != ZEPA_OK) {
    store_error(errornumber, e);
    return 0;
  }
  const uint8_t byte = _i_stream_readbyte(container.boundfile.pfs, &e);
  if (e != ZEPA_OK) {
    store_error(errornumber, e);
    return 0;
  }
  container.openFileArray[j].offset += 1;
  store_container(pos, &container);
  return byte;
}

// ---------------------------------------------------------------------------
// The operation table.

constexpr CoreOps kCoreOps = {
    .zepa_core_Init = zepa_core_Init,
    .zepa_core_Uninit = zepa_core_Uninit,
    .zepa_core_IsStarted = zepa_core_IsStarted,
    .zepa_core_ClearBoundFile = zepa_core_ClearBoundFile,
    .zepa_core_GenerateHandle = zepa_core_GenerateHandle,
    .zepa_core_AddHandle = zepa_core_AddHandle,
    .zepa_core_FreeHandle = zepa_core_FreeHandle,
    .zepa_core_GetFSP = zepa_core_GetFSP,
    .zepa_core_RegisterContainer = zepa_core_RegisterContainer,
    .zepa_core_UnregisterContainer = zepa_core_UnregisterContainer,
    .zepa_core_PrepareContainer = zepa_core_PrepareContainer,
    .zepa_core_IsContainerRegistered = zepa_core_IsContainerRegistered,
    .zepa_core_IsContainerPrepared = zepa_core_IsContainerPrepared,
    .zepa_core_UnprepareContainer = zepa_core_UnprepareContainer,
    .zepa_core_PrepareFile = zepa_core_PrepareFile,
    .zepa_core_CheckFileExists = zepa_core_CheckFileExists,
    .zepa_core_IsValidHandle = zepa_core_IsValidHandle,
    .zepa_core_SetFileMode = zepa_core_SetFileMode,
    .zepa_core_GetFileMode = zepa_core_GetFileMode,
    .zepa_core_GetHandle = zepa_core_GetHandle,
    .zepa_core_GetFileOffset = zepa_core_GetFileOffset,
    .zepa_core_SetFileOffset = zepa_core_SetFileOffset,
    .zepa_core_GetFileLength = zepa_core_GetFileLength,
    .zepa_core_ContainedRead = zepa_core_ContainedRead,
    .zepa_core_GetPhysicalOffset = zepa_core_GetPhysicalOffset,
    .zepa_core_ReadOneByte = zepa_core_ReadOneByte,
};

// The table is 26 pointers in slot order, with nothing between them.
static_assert(sizeof(CoreOps) == 26 * sizeof(void (*)()));
static_assert(offsetof(CoreOps, zepa_core_Init) == 0);
static_assert(offsetof(CoreOps, zepa_core_ReadOneByte) == 25 * sizeof(void (*)()));

}  // namespace

extern "C" const CoreOps *zepa_core_GetOps(void) { return &kCoreOps; }
