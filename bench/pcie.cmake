# PCIe frame output and lookup-table loads on emulated cards, each against the bare card-access calls.
if(TARGET KRV_PCIeAPI4 AND TARGET krv_emu_pcie AND TARGET krv_pexdev)
  krv_add_benchmark(pcie_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/pcie_bench.cpp
    LIBS KRV4 KRV_PCIeAPI4 pexlink krv_emu_pcie krv_pexdev krv_core)
endif()
