# Compiled-in resources: the stand-in for executable resources on a platform
# that has none.
#
#   dotvane_add_resource_library(<target>
#     RESOURCES <name> <type> <file> [<name> <type> <file> ...]
#     [WINDOWS_RC <file.rc>...]
#     [DEPENDS <targets>...])
#
# On Windows the files become real resources of the executable instead
# (a generated resource script, compiled by windres), and Self() finds them
# with FindResource; WINDOWS_RC adds hand-written scripts for resources
# only Windows has (the version block, the icon).  Types that are keywords
# of the resource compiler and whose bytes are in our portable formats
# (DIALOG, ICON, VERSION) are filed as DOTVANE_<type>, so that they never
# pass for Windows' own formats.
#
# Creates the STATIC library <target> (linked PUBLIC to dotvane_os)
# whose one generated source embeds each file's bytes and defines
# os::ResourceModule::Self() over a table of them.  Link exactly one such
# library into a program.
#
# A relative <file> is taken from the current source directory; files made
# by custom commands are given by their absolute build-tree path.  Custom
# commands in the calling directory are picked up by themselves; name the
# targets that produce files elsewhere under DEPENDS.
#
# The bytes go in with the assembler's .incbin rather than as generated C
# arrays: no build step has to turn 50 KB of firmware into text, and the
# compiler never has to parse it.  The compiler's dependency scan does not
# see .incbin, hence the explicit OBJECT_DEPENDS.

function(dotvane_add_resource_library target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "RESOURCES;WINDOWS_RC;DEPENDS")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "dotvane_add_resource_library(${target}): unexpected arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  list(LENGTH ARG_RESOURCES count)
  math(EXPR rest "${count} % 3")
  if(count EQUAL 0 OR NOT rest EQUAL 0)
    message(FATAL_ERROR "dotvane_add_resource_library(${target}): RESOURCES takes <name> <type> <file> triples")
  endif()

  # Labels are global (so the C++ side can name them) but hidden, and carry
  # the target's name so that two resource libraries could never clash.
  string(MAKE_C_IDENTIFIER "${target}" prefix)
  set(prefix "dotvane_res_${prefix}")

  set(asm_lines "")
  set(rc_lines "")
  set(windows_entries "")
  set(declarations "")
  set(entries "")
  set(files "")
  set(seen "")
  math(EXPR last "${count} / 3 - 1")
  foreach(index RANGE ${last})
    math(EXPR at "${index} * 3")
    list(GET ARG_RESOURCES ${at} name)
    math(EXPR at "${at} + 1")
    list(GET ARG_RESOURCES ${at} type)
    math(EXPR at "${at} + 1")
    list(GET ARG_RESOURCES ${at} file)

    # Names and types end up inside C string literals: keep them to the
    # characters resource names actually use ("BIN_UPDATE", "#129").
    foreach(text IN ITEMS "${name}" "${type}")
      if(NOT text MATCHES "^[A-Za-z0-9_#]+$")
        message(FATAL_ERROR "dotvane_add_resource_library(${target}): bad resource name or type '${text}'")
      endif()
    endforeach()
    if("${name}/${type}" IN_LIST seen)
      message(FATAL_ERROR "dotvane_add_resource_library(${target}): ${name}/${type} given twice")
    endif()
    list(APPEND seen "${name}/${type}")

    cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    # The path is quoted twice over (assembler string inside a C++ string);
    # rather than escape it, refuse the characters that would need it.
    if(file MATCHES "[\"\\\\\n]")
      message(FATAL_ERROR "dotvane_add_resource_library(${target}): unsupported characters in path '${file}'")
    endif()
    list(APPEND files "${file}")

    # The resource script: "#129" is the number 129 there.
    set(rc_name "${name}")
    if(rc_name MATCHES "^#([0-9]+)$")
      set(rc_name "${CMAKE_MATCH_1}")
    endif()
    set(rc_type "${type}")
    if(rc_type MATCHES "^(DIALOG|ICON|VERSION)$")
      set(rc_type "DOTVANE_${type}")
    endif()
    string(APPEND rc_lines "${rc_name} ${rc_type} \"${file}\"\n")
    string(APPEND windows_entries "      {\"${name}\", \"${type}\", \"${rc_type}\"},\n")

    set(sym "${prefix}_${index}")
    string(APPEND asm_lines
      "    \"\\t.balign 16\\n\"\n"
      "    \"\\t.globl ${sym}_begin, ${sym}_end\\n\"\n"
      "    \"\\t.hidden ${sym}_begin, ${sym}_end\\n\"\n"
      "    \"\\t.type ${sym}_begin, %object\\n\"\n"
      "    \"${sym}_begin:\\n\"\n"
      "    \"\\t.incbin \\\"${file}\\\"\\n\"\n"
      "    \"${sym}_end:\\n\"\n"
      "    \"\\t.size ${sym}_begin, ${sym}_end - ${sym}_begin\\n\"\n")
    string(APPEND declarations
      "DOTVANE_RESOURCE_LABEL ${sym}_begin[];\n"
      "DOTVANE_RESOURCE_LABEL ${sym}_end[];\n")
    string(APPEND entries
      "      {\"${name}\", \"${type}\", ${sym}_begin, Distance(${sym}_begin, ${sym}_end)},\n")
  endforeach()

  if(WIN32)
    _dotvane_add_windows_resource_library(${target})
    return()
  endif()

  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}_table.cpp")
  # file(CONFIGURE) rewrites the source only when its text changes, so a
  # re-run of CMake does not recompile it.
  file(CONFIGURE OUTPUT "${source}" @ONLY CONTENT [=[
// Generated by dotvane_add_resource_library(@target@); edit the CMake call, not this file.
#include <cstddef>
#include <cstdint>
#include <span>

#include "os/resources.h"

// Read-only data, not code: the bytes need no relocation and are shared
// between every process running the program.  A size-0 file leaves the two
// labels at the same address.
asm("\t.pushsection .rodata.@prefix@,\"a\"\n"
@asm_lines@    "\t.popsection\n");

// Hidden, so that the compiler addresses the labels directly rather than
// through the GOT: they are defined in this very object.
#define DOTVANE_RESOURCE_LABEL extern "C" __attribute__((visibility("hidden"))) const unsigned char
@declarations@#undef DOTVANE_RESOURCE_LABEL

namespace {

// The labels are two distinct objects to the language, so subtract
// addresses rather than pointers.
std::size_t Distance(const unsigned char* begin, const unsigned char* end) {
  return static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(end) - reinterpret_cast<std::uintptr_t>(begin));
}

}  // namespace

const os::ResourceModule& os::ResourceModule::Self() {
  // Built on first use, so that code running in other static constructors
  // can already find resources.
  static const os::ResourceEntry kEntries[] = {
@entries@  };
  static const os::ResourceModule kModule{std::span<const os::ResourceEntry>(kEntries)};
  return kModule;
}
]=])

  add_library(${target} STATIC "${source}")
  target_link_libraries(${target} PUBLIC dotvane_os)
  set_source_files_properties("${source}" PROPERTIES OBJECT_DEPENDS "${files}")
  # Listing the files as (non-compiled) sources attaches the custom commands
  # of this directory that make them to the target.
  target_sources(${target} PRIVATE ${files})
  set_source_files_properties(${files} PROPERTIES HEADER_FILE_ONLY TRUE)
  if(ARG_DEPENDS)
    add_dependencies(${target} ${ARG_DEPENDS})
  endif()
endfunction()

# The Windows form of the library, called from dotvane_add_resource_library
# with its variables in scope.  An OBJECT library, so that the compiled
# resource script goes into every executable linking it: from a static
# archive the linker would drop it, since no symbol refers to it.
macro(_dotvane_add_windows_resource_library target)
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc")
  file(CONFIGURE OUTPUT "${rc}" @ONLY CONTENT [=[
// Generated by dotvane_add_resource_library(@target@); edit the CMake call, not this file.
@rc_lines@]=])
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}_table.cpp")
  file(CONFIGURE OUTPUT "${source}" @ONLY CONTENT [=[
// Generated by dotvane_add_resource_library(@target@); edit the CMake call, not this file.
#include <windows.h>

#include <vector>

#include "os/resources.h"

namespace {

struct Filed {
  const char* name;  // as the program asks for it ("#129", "BIN_UPDATE")
  const char* type;
  const char* windowsType;  // as the resource script files it
};

constexpr Filed kFiled[] = {
@windows_entries@};

// The bytes of one resource of this executable, mapped with the image, or
// nothing when it is not there.  Numbered names ("#129") are understood by
// FindResource itself.
bool Locate(const Filed& filed, os::ResourceEntry* entry) {
  HRSRC found = FindResourceA(nullptr, filed.name, filed.windowsType);
  if (found == nullptr) return false;
  HGLOBAL loaded = LoadResource(nullptr, found);
  if (loaded == nullptr) return false;
  const void* data = LockResource(loaded);
  const DWORD size = SizeofResource(nullptr, found);
  if (data == nullptr && size != 0) return false;
  static const unsigned char kEmpty = 0;
  *entry = {filed.name, filed.type, data == nullptr ? &kEmpty : static_cast<const unsigned char*>(data), size};
  return true;
}

}  // namespace

const os::ResourceModule& os::ResourceModule::Self() {
  // Looked up once, on first use; resources stay mapped for the life of
  // the process, so the table may point into them.
  static const std::vector<os::ResourceEntry> kEntries = [] {
    std::vector<os::ResourceEntry> entries;
    for (const Filed& filed : kFiled) {
      os::ResourceEntry entry{};
      if (Locate(filed, &entry)) entries.push_back(entry);
    }
    return entries;
  }();
  static const os::ResourceModule kModule{std::span<const os::ResourceEntry>(kEntries)};
  return kModule;
}
]=])
  add_library(${target} OBJECT "${source}" "${rc}" ${ARG_WINDOWS_RC})
  target_link_libraries(${target} PUBLIC dotvane_os)
  # windres sees neither the files a script names nor what they are made from.
  set_source_files_properties("${rc}" ${ARG_WINDOWS_RC} PROPERTIES OBJECT_DEPENDS "${files}")
  target_sources(${target} PRIVATE ${files})
  set_source_files_properties(${files} PROPERTIES HEADER_FILE_ONLY TRUE)
  if(ARG_DEPENDS)
    add_dependencies(${target} ${ARG_DEPENDS})
  endif()
endmacro()
