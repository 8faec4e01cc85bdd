# Run by CPack on the staged programs before they are packed: removes the compiler's
# version notes (.comment, .note), as Debian's dh_strip does.
foreach(program usr/sbin/tesmar_gpio usr/bin/tesmar_gpioctl)
  execute_process(
    COMMAND ${CPACK_TESMAR_STRIP} --remove-section=.comment --remove-section=.note
            ${CPACK_TEMPORARY_DIRECTORY}/${program}
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot strip the notes of ${program}")
  endif()
endforeach()
