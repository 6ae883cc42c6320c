# The Python that runs plot_snapshots.py and the Python tests: the
# first python3 on the PATH that imports numpy and matplotlib, which may be
# Debian's /usr/bin/python3 behind a pyenv or virtualenv one that lacks them
# (give -DPython3_EXECUTABLE=... to choose).
function(plume_python_has_plot_modules result candidate)
  execute_process(COMMAND ${candidate} -c "import numpy, matplotlib"
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(NOT status EQUAL 0)
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()
if(NOT Python3_EXECUTABLE)
  find_program(plume_plot_python NAMES python3 VALIDATOR plume_python_has_plot_modules NO_CACHE)
  if(plume_plot_python)
    set(Python3_EXECUTABLE ${plume_plot_python} CACHE FILEPATH "Python 3 with numpy and matplotlib, for plot_snapshots.py and the tools' tests")
  endif()
endif()
find_package(Python3 3.11 COMPONENTS Interpreter)
