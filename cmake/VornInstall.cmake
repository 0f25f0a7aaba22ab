# Where `cmake --install` puts things, under the prefix:
#   bin/        the tools (vornhost, vornreg, vornimport, vornexport, vornweb)
#   lib/vorn/   libvornrt.so, the control module and the three services
#   share/vorn/ the example scripts, sample mail and sample contacts
# (bin, lib and share as GNUInstallDirs names them for this system). The
# tools find the runtime by a RUNPATH relative to themselves, and the
# libraries find it beside them, so the installed tree can be moved whole.
include(GNUInstallDirs)

set(VORN_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/vorn)
set(VORN_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/vorn)

# vorn_install_tree(): the install rules, once every target is defined.
function(vorn_install_tree)
  file(RELATIVE_PATH tools_to_libs ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${VORN_INSTALL_LIBDIR})
  set(tools vornhost vornreg vornimport vornexport vornweb)
  set_target_properties(${tools} PROPERTIES INSTALL_RPATH "\$ORIGIN/${tools_to_libs}")
  install(TARGETS ${tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  set(libraries vornrt VORNOUTLOOKEXPRESS.OCX vornstore.so vornmime.so vornwab.so)
  set_target_properties(${libraries} PROPERTIES INSTALL_RPATH "\$ORIGIN")
  install(TARGETS ${libraries}
          LIBRARY DESTINATION ${VORN_INSTALL_LIBDIR})

  install(FILES
            ${PROJECT_SOURCE_DIR}/examples/tour.js
            ${PROJECT_SOURCE_DIR}/examples/list-folders.js
            ${PROJECT_SOURCE_DIR}/examples/read-message.js
          DESTINATION ${VORN_INSTALL_DATADIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/mail ${PROJECT_SOURCE_DIR}/examples/contacts
                    ${PROJECT_SOURCE_DIR}/examples/python
          DESTINATION ${VORN_INSTALL_DATADIR})
endfunction()
