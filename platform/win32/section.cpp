// Named sections on the paging file. The client test for a running server is the Win32 one: the
// section existed before CreateFileMappingA (ERROR_ALREADY_EXISTS). A section outlives its owner
// while any client still holds a handle, so our owners also publish their identity in a small
// companion section "<name>.owner"; a client that finds one asks whether that process still runs.
// A section without the companion belongs to a server that does not publish one and is taken as
// live while it exists.
//
// A client's claim on a section is the named event "<name>.client": the claiming handle creates it
// and keeps it open, so it exists exactly while that handle (or its process) lives. Creating it
// when it exists already means another client holds the claim.
#include "platform/section.h"

#include <cstring>

#include "platform/win32/handle_object.h"

namespace platform {

namespace {

constexpr const char* kOwnerSuffix = ".owner";
constexpr const char* kClaimSuffix = ".claim";
constexpr const char* kClientSuffix = ".client";

bool ProcessCreationTime(HANDLE process, FILETIME* created) {
  FILETIME exited, kernel, user;
  return ::GetProcessTimes(process, created, &exited, &kernel, &user) != 0;
}

// An aligned 32-bit read is atomic; the barrier orders it against the reads around it. (An
// interlocked read would write, and the client's view of the record is read-only.)
LONG ReadPid(const OwnerRecord* record) {
  MemoryBarrier();
  const LONG pid = record->pid;
  MemoryBarrier();
  return pid;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// Opens the process that `record` names, when it is still that process and still running.
// Returns null otherwise. `pid` receives the id read.
HANDLE OpenLiveOwner(const OwnerRecord* record, LONG* pid) {
  // The owner writes its creation time before its id and clears the id first when it leaves, so
  // reading the id on both sides of the time gives a consistent pair.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const LONG first = ReadPid(record);
    const FILETIME created = record->created;
    const LONG second = ReadPid(record);
    if (first != second) continue;
    *pid = first;
    if (first == 0) return nullptr;
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                   static_cast<DWORD>(first));
    if (!process) return nullptr;
    FILETIME actual;
    if (!ProcessCreationTime(process, &actual) || !SameTime(actual, created) ||
        ::WaitForSingleObject(process, 0) != WAIT_TIMEOUT) {
      ::CloseHandle(process);
      return nullptr;
    }
    return process;
  }
  *pid = 0;
  return nullptr;
}

// Opens the companion record of `name` for reading, when there is one.
bool OpenOwnerRecord(const char* name, HANDLE* mapping, OwnerRecord** record) {
  char objectName[MAX_PATH + 1];
  if (!win32::KernelObjectName(name, kOwnerSuffix, objectName, sizeof objectName)) return false;
  HANDLE h = ::OpenFileMappingA(FILE_MAP_READ, FALSE, objectName);
  if (!h) return false;
  void* view = ::MapViewOfFile(h, FILE_MAP_READ, 0, 0, sizeof(OwnerRecord));
  if (!view) {
    ::CloseHandle(h);
    return false;
  }
  *mapping = h;
  *record = static_cast<OwnerRecord*>(view);
  return true;
}

std::string LastErrorText(const char* what, const char* name) {
  return std::string(what) + " \"" + name + "\" (Windows error " +
         std::to_string(::GetLastError()) + ")";
}

}  // namespace

Handle CreateSection(const char* name, uint32_t size, bool* existedBefore, std::string* error) {
  if (existedBefore) *existedBefore = false;
  if (error) error->clear();
  char objectName[MAX_PATH + 1];
  const bool named = name != nullptr;
  if (named && !win32::KernelObjectName(name, nullptr, objectName, sizeof objectName)) {
    return nullptr;
  }
  // Without a name the section is private to this handle and its views.
  HANDLE h = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                  named ? objectName : nullptr);
  if (!h) return nullptr;
  const bool existed = named && ::GetLastError() == ERROR_ALREADY_EXISTS;

  HandleObject* section = new HandleObject(HandleObject::Kind::kSection);
  section->handle = h;
  if (named) {
    win32::KernelObjectName(name, kClientSuffix, section->claimName, sizeof section->claimName);
  }
  bool live = existed;
  if (existed && OpenOwnerRecord(name, &section->recordMapping, &section->record)) {
    section->ownerProcess = OpenLiveOwner(section->record, &section->ownerPid);
    live = section->ownerProcess != nullptr;
  }
  section->hadOwner = live;
  if (existedBefore) *existedBefore = live;
  return section;
}

Handle CreateOwnedSection(const char* name, uint32_t size, std::string* error) {
  char objectName[MAX_PATH + 1];
  char recordName[MAX_PATH + 1];
  char claimName[MAX_PATH + 1];
  if (!win32::KernelObjectName(name, nullptr, objectName, sizeof objectName) ||
      !win32::KernelObjectName(name, kOwnerSuffix, recordName, sizeof recordName) ||
      !win32::KernelObjectName(name, kClaimSuffix, claimName, sizeof claimName)) {
    if (error) *error = std::string("invalid section name \"") + (name ? name : "") + "\"";
    return nullptr;
  }

  // Two servers starting at once take turns over the check-and-claim.
  HANDLE claim = ::CreateMutexA(nullptr, FALSE, claimName);
  if (!claim) {
    if (error) *error = LastErrorText("cannot create the mutex", claimName);
    return nullptr;
  }
  const DWORD waited = ::WaitForSingleObject(claim, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    if (error) *error = LastErrorText("cannot take the mutex", claimName);
    ::CloseHandle(claim);
    return nullptr;
  }

  HandleObject* section = new HandleObject(HandleObject::Kind::kSection);
  section->owner = true;
  win32::KernelObjectName(name, kClientSuffix, section->claimName, sizeof section->claimName);
  auto fail = [&](std::string message) -> Handle {
    if (error) *error = std::move(message);
    if (section->record) ::UnmapViewOfFile(section->record);
    if (section->recordMapping) ::CloseHandle(section->recordMapping);
    if (section->handle) ::CloseHandle(section->handle);
    delete section;
    ::ReleaseMutex(claim);
    ::CloseHandle(claim);
    return nullptr;
  };

  section->recordMapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                sizeof(OwnerRecord), recordName);
  if (!section->recordMapping) return fail(LastErrorText("cannot create the section", recordName));
  section->record = static_cast<OwnerRecord*>(
      ::MapViewOfFile(section->recordMapping, FILE_MAP_WRITE, 0, 0, sizeof(OwnerRecord)));
  if (!section->record) return fail(LastErrorText("cannot map the section", recordName));

  LONG previousPid = 0;
  HANDLE previous = OpenLiveOwner(section->record, &previousPid);
  if (previous) {
    ::CloseHandle(previous);
    return fail(std::string("another process (id ") + std::to_string(previousPid) +
                ") already owns \"" + objectName + "\"");
  }

  section->handle =
      ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, objectName);
  if (!section->handle) return fail(LastErrorText("cannot create the section", objectName));
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    // Kept alive by a client of an owner that has gone: take it over, zero-filled like a new one.
    void* view = ::MapViewOfFile(section->handle, FILE_MAP_WRITE, 0, 0, size);
    if (!view) return fail(LastErrorText("cannot map the section left behind as", objectName));
    std::memset(view, 0, size);
    ::UnmapViewOfFile(view);
  }

  FILETIME created;
  if (!ProcessCreationTime(::GetCurrentProcess(), &created)) {
    return fail(LastErrorText("cannot read the creation time of the process owning", objectName));
  }
  InterlockedExchange(&section->record->pid, 0);
  section->record->created = created;
  InterlockedExchange(&section->record->pid, static_cast<LONG>(::GetCurrentProcessId()));
  section->ownedSlot = win32::RegisterOwnerRecord(section->record);

  ::ReleaseMutex(claim);
  ::CloseHandle(claim);
  return section;
}

void* MapSection(Handle section, uint32_t size) {
  if (!section || section->kind != HandleObject::Kind::kSection) return nullptr;
  return ::MapViewOfFile(section->handle, FILE_MAP_WRITE, 0, 0, size);
}

void UnmapSection(void* view, uint32_t /*size*/) {
  if (view) ::UnmapViewOfFile(view);
}

bool RestoreSectionView(Handle section, void* view, uint32_t /*size*/) {
  return section && view;
}

bool ClaimSection(Handle section) {
  if (!section || section->kind != HandleObject::Kind::kSection) return false;
  // A section private to this handle has no other users.
  if (!section->claimName[0]) return true;
  if (section->claim) return true;
  HANDLE claim = ::CreateEventA(nullptr, TRUE, FALSE, section->claimName);
  if (!claim) return false;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(claim);
    return false;
  }
  section->claim = claim;
  return true;
}

bool SectionClaimed(Handle section) {
  if (!section || section->kind != HandleObject::Kind::kSection || !section->claimName[0]) {
    return false;
  }
  HANDLE claim = ::OpenEventA(SYNCHRONIZE, FALSE, section->claimName);
  if (!claim) return false;
  ::CloseHandle(claim);
  return true;
}

bool SectionOwnerAlive(Handle section) {
  if (!section || section->kind != HandleObject::Kind::kSection) return false;
  if (section->owner) return true;
  if (!section->hadOwner) return false;
  // No companion record: an owner that publishes no identity; it is live while the section is.
  if (!section->record) return true;
  if (!section->ownerProcess) return false;
  if (::WaitForSingleObject(section->ownerProcess, 0) != WAIT_TIMEOUT) return false;
  // The owner cleaned up (or was replaced) while its process goes on.
  return ReadPid(section->record) == section->ownerPid;
}

}  // namespace platform
