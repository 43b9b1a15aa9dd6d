# Fails unless the library's dynamic symbol table defines exactly the functions of namespace Zernike.
execute_process(COMMAND ${NM} -D -C --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(found "")
foreach(line ${lines})
  # "<address> <type> <name>": functions (T) and data (D, B, R, V, W) count; the loader's own symbols do not.
  if(line MATCHES "^[0-9a-f]+ [TDBRVWiu] (.*)$")
    set(name "${CMAKE_MATCH_1}")
    if(NOT name MATCHES "^_(init|fini|edata|end|_bss_start)$")
      list(APPEND found "${name}")
    endif()
  endif()
endforeach()
list(SORT found)
set(expected
  "Zernike::NaturalToQuantum(int, int&, int&)"
  "Zernike::NollToQuantum(int, int&, int&)"
  "Zernike::OSAToQuantum(int, int&, int&)"
  "Zernike::PhasicsToQuantum(int, int&, int&)"
  "Zernike::QuantumToNatural(int, int)"
  "Zernike::ZernikeAberrations(std::vector<double, std::allocator<double> >, double, double, Zernike::e_IndexConventions)"
  "Zernike::ZernikePolynomial(unsigned int, int, double, double)"
  "Zernike::ZernikeRadialPolynomial(unsigned int, unsigned int, double, Zernike::ZernikeEvaluationMethod)")
list(SORT expected)
if(NOT found STREQUAL expected)
  string(REPLACE ";" "\n  " f "${found}")
  message(FATAL_ERROR "exported symbols differ from the interface:\n  ${f}")
endif()
message(STATUS "Zernike exports its 8 interface functions only")
