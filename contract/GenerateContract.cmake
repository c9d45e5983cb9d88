# Writes the C++ header of the automation contract from its introspection file:
#   cmake -DXML=com.quelbo.QUVO.xml -DOUT=SoftphoneContract.h -P GenerateContract.cmake
#
# The header (namespace quvo::bus) holds the bus name, the object path, the two interfaces,
# the error name, the Event signal, every operation (in slot order, with its input
# signature, its argument names and its MethodId) and every event (DISPID, name, argument
# types, and an EventId constant k<Name>). Nothing of it is written by hand anywhere else.
#
# The file is read as the softphone's introspection data is written: one tag per element,
# attributes in double quotes. Anything this script does not understand stops the build.

cmake_minimum_required(VERSION 3.25)

if(NOT XML OR NOT OUT)
  message(FATAL_ERROR "usage: cmake -DXML=<introspection file> -DOUT=<header> -P GenerateContract.cmake")
endif()

function(fail text)
  message(FATAL_ERROR "${XML}: ${text}")
endfunction()

file(READ "${XML}" text)

# Comments out: CMake's expressions have no lazy repetition, so one at a time.
while(TRUE)
  string(FIND "${text}" "<!--" open)
  if(open EQUAL -1)
    break()
  endif()
  string(SUBSTRING "${text}" ${open} -1 rest)
  string(FIND "${rest}" "-->" close)
  if(close EQUAL -1)
    fail("a comment that never ends")
  endif()
  string(SUBSTRING "${text}" 0 ${open} before)
  math(EXPR after "${close} + 3")
  string(SUBSTRING "${rest}" ${after} -1 rest)
  set(text "${before}${rest}")
endwhile()

# attr(<tag> <name> <var>): the attribute's value, or fail when the tag lacks it.
function(attr tag name var)
  if(NOT tag MATCHES "[ \t\r\n]${name}=\"([^\"&]*)\"")
    fail("no ${name}=\"...\" in ${tag}")
  endif()
  set(${var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

function(check_name value what)
  if(NOT value MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
    fail("'${value}' is no C++ name (${what})")
  endif()
endfunction()

# The tags become list items: outside comments the file holds no character that CMake's lists
# treat specially.
foreach(special ";" "[" "]" "\\")
  string(FIND "${text}" "${special}" at)
  if(NOT at EQUAL -1)
    fail("'${special}' outside a comment")
  endif()
endforeach()
string(REGEX MATCHALL "<[^<>]+>" tags "${text}")

set(object_path "")
set(interface "")        # the interface being read
set(member "")           # method or signal being read
set(operations_interface "")
set(events_interface "")
set(bus_name "")
set(error_name "")
set(methods "")          # names in order; method_<name>_types, method_<name>_args
set(signal "")
set(signal_types "")
set(signal_args "")
set(events "")           # DISPIDs in order; event_<n>_name, event_<n>_types
set(max_args 0)

foreach(tag IN LISTS tags)
  if(tag MATCHES "^<[?!]")
    continue()
  elseif(tag MATCHES "^<node[ \t\r\n>/]")
    if(object_path STREQUAL "")
      attr("${tag}" name object_path)
    endif()
  elseif(tag MATCHES "^<interface[ \t\r\n>]")
    attr("${tag}" name interface)
  elseif(tag STREQUAL "</interface>")
    set(interface "")
  elseif(tag MATCHES "^<method[ \t\r\n]")
    if(interface STREQUAL "")
      fail("a method outside an interface")
    endif()
    if(operations_interface STREQUAL "")
      set(operations_interface "${interface}")
    elseif(NOT operations_interface STREQUAL interface)
      fail("methods in two interfaces (${operations_interface}, ${interface})")
    endif()
    attr("${tag}" name name)
    check_name("${name}" "a method")
    if("${name}" IN_LIST methods)
      fail("method ${name} twice")
    endif()
    list(APPEND methods "${name}")
    set(method_${name}_types "")
    set(method_${name}_args "")
    if(tag MATCHES "/>$")
      set(member "")
    else()
      set(member "method:${name}")
    endif()
  elseif(tag STREQUAL "</method>")
    set(member "")
  elseif(tag MATCHES "^<signal[ \t\r\n]")
    if(NOT signal STREQUAL "")
      fail("more than one signal")
    endif()
    set(events_interface "${interface}")
    attr("${tag}" name signal)
    check_name("${signal}" "the signal")
    set(member "signal:${signal}")
  elseif(tag STREQUAL "</signal>")
    set(member "")
  elseif(tag MATCHES "^<arg[ \t\r\n]")
    attr("${tag}" name arg)
    attr("${tag}" type type)
    check_name("${arg}" "an argument")
    if(member MATCHES "^method:(.*)$")
      set(name "${CMAKE_MATCH_1}")
      if(tag MATCHES "direction=\"([^\"]*)\"" AND NOT CMAKE_MATCH_1 STREQUAL "in")
        fail("${name}: only input arguments are part of the contract")
      endif()
      if(NOT type MATCHES "^[is]$")
        fail("${name}: argument type '${type}' (only i and s)")
      endif()
      string(APPEND method_${name}_types "${type}")
      list(APPEND method_${name}_args "${arg}")
      list(LENGTH method_${name}_args count)
      if(count GREATER max_args)
        set(max_args ${count})
      endif()
    elseif(member MATCHES "^signal:")
      string(APPEND signal_types "${type}")
      list(APPEND signal_args "${arg}")
    else()
      fail("an argument outside a method or signal")
    endif()
  elseif(tag MATCHES "^<annotation[ \t\r\n]")
    attr("${tag}" name note)
    attr("${tag}" value value)
    if(member MATCHES "^signal:" AND note MATCHES "^com\\.quelbo\\.QUVO\\.Event\\.([0-9]+)$")
      set(dispid "${CMAKE_MATCH_1}")
      if("${dispid}" IN_LIST events)
        fail("event ${dispid} twice")
      endif()
      # "Name(t name, t name, ...)"
      if(NOT value MATCHES "^([A-Za-z_][A-Za-z0-9_]*)\\((.*)\\)$")
        fail("event ${dispid}: '${value}' is not Name(type name, ...)")
      endif()
      set(event_name "${CMAKE_MATCH_1}")
      set(list "${CMAKE_MATCH_2}")
      set(types "")
      if(NOT list STREQUAL "")
        string(REPLACE ", " ";" pairs "${list}")
        foreach(pair IN LISTS pairs)
          if(NOT pair MATCHES "^([isb]) [A-Za-z_][A-Za-z0-9_]*$")
            fail("event ${dispid}: '${pair}' is not 'type name' with type i, s or b")
          endif()
          string(APPEND types "${CMAKE_MATCH_1}")
        endforeach()
      endif()
      list(APPEND events "${dispid}")
      set(event_${dispid}_name "${event_name}")
      set(event_${dispid}_types "${types}")
    elseif(member STREQUAL "" AND NOT interface STREQUAL "" AND note STREQUAL "com.quelbo.QUVO.BusName")
      set(bus_name "${value}")
    elseif(member STREQUAL "" AND NOT interface STREQUAL "" AND note STREQUAL "com.quelbo.QUVO.ErrorName")
      set(error_name "${value}")
    endif()
  elseif(tag MATCHES "^</(node|arg|annotation)>$")
    continue()
  elseif(NOT tag MATCHES "^<(node|interface|method|signal|arg|annotation|property)[ \t\r\n/>]")
    fail("unexpected ${tag}")
  endif()
endforeach()

foreach(fact object_path operations_interface events_interface bus_name error_name signal methods events)
  if("${${fact}}" STREQUAL "")
    fail("found no ${fact}")
  endif()
endforeach()
if(operations_interface STREQUAL events_interface)
  fail("the operations and the Event signal in one interface")
endif()
if(NOT signal_types STREQUAL "iav")
  fail("the signal carries '${signal_types}', not (i dispid, av args)")
endif()

# ---- the header ---------------------------------------------------------------------------

list(LENGTH methods method_count)
list(LENGTH events event_count)
list(GET signal_args 0 signal_arg0)
list(GET signal_args 1 signal_arg1)
if(max_args EQUAL 0)
  set(max_args 1)
endif()

set(h "// Generated from the automation contract's introspection file (com.quelbo.QUVO.xml) by
// contract/GenerateContract.cmake when the file changes; edit the file, not this header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace quvo::bus {

// Owned by the softphone while it runs.
inline constexpr const char* kBusName = \"${bus_name}\";
inline constexpr const char* kObjectPath = \"${object_path}\";
inline constexpr const char* kSoftphoneInterface = \"${operations_interface}\";
inline constexpr const char* kEventsInterface = \"${events_interface}\";

// The one signal of the events interface: ${signal}(i ${signal_arg0}, av ${signal_arg1}), each
// argument of the event in its declaration order, typed i, s or b.
inline constexpr const char* kEventSignal = \"${signal}\";
inline constexpr const char* kEventSignature = \"${signal_types}\";
inline constexpr std::array<const char*, 2> kEventArgNames = {\"${signal_arg0}\", \"${signal_arg1}\"};

// The error name of a refused operation; its message is the softphone's text.
inline constexpr const char* kErrorFailed = \"${error_name}\";

// The operations, in the order of the automation interface's slots. An engine switches over
// this, so that an operation it does not handle is a compiler warning.
enum class MethodId {
")
foreach(name IN LISTS methods)
  string(APPEND h "    ${name},\n")
endforeach()
string(APPEND h "};

// One operation: input arguments only ('i' int32, 's' UTF-8 string), no output.
struct Method {
    MethodId id;
    const char* name;
    const char* signature;
    std::array<const char*, ${max_args}> argNames;  // the first strlen(signature) are set

    std::size_t ArgCount() const { return std::strlen(signature); }
    std::vector<std::string> ArgNames() const { return {argNames.begin(), argNames.begin() + ArgCount()}; }
};

")
foreach(name IN LISTS methods)
  set(quoted "")
  foreach(arg IN LISTS method_${name}_args)
    if(NOT quoted STREQUAL "")
      string(APPEND quoted ", ")
    endif()
    string(APPEND quoted "\"${arg}\"")
  endforeach()
  string(APPEND h "inline constexpr Method k${name}{MethodId::${name}, \"${name}\", \"${method_${name}_types}\", {${quoted}}};\n")
endforeach()
string(APPEND h "
// All operations, in slot order: kMethods[static_cast<size_t>(id)] is the operation with that id.
inline constexpr std::array<const Method*, ${method_count}> kMethods = {
")
foreach(name IN LISTS methods)
  string(APPEND h "    &k${name},\n")
endforeach()
string(APPEND h "};

// The DISPIDs of the events, named after them (events that the console ignores are named
// ReservedN).
enum EventId : int32_t {
")
foreach(dispid IN LISTS events)
  string(APPEND h "    k${event_${dispid}_name} = ${dispid},\n")
endforeach()
string(APPEND h "};

// One event of the Event signal: its DISPID, its name as the console prints it and the types
// of its arguments in declaration order.
struct Event {
    int32_t dispid;
    const char* name;
    const char* signature;
};

inline constexpr std::array<Event, ${event_count}> kEvents = {{
")
foreach(dispid IN LISTS events)
  string(APPEND h "    {k${event_${dispid}_name}, \"${event_${dispid}_name}\", \"${event_${dispid}_types}\"},\n")
endforeach()
string(APPEND h "}};

}  // namespace quvo::bus
")

file(WRITE "${OUT}" "${h}")
