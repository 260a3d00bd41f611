# Installs the build into a scratch prefix, then imports the installed
# package from outside the source and build trees and trains a tool with it.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${WORK_DIR}/prefix
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "install failed")
endif()
set(check "import imgnorm, imgnorm.dask, numpy
assert imgnorm.__file__.startswith('${WORK_DIR}/prefix/'), imgnorm.__file__
tool = imgnorm.Normalizer(numpy.arange(64, dtype=numpy.uint8).reshape(8, 8))
tool.train('histogram')
assert (tool.run(tool.reference, 'histogram') == tool.reference).all()")
set(env PYTHONPATH=${WORK_DIR}/prefix/${PACKAGE_DIR})
if(PRELOAD)  # sanitizer builds
  list(APPEND env "LD_PRELOAD=${PRELOAD}" ASAN_OPTIONS=detect_leaks=0)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env} ${PYTHON} -c "${check}"
                WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "the installed package does not import and run")
endif()
