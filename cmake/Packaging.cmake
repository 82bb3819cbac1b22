# Debian packages, built by CPack from the install rules (scripts/package):
#   restore-agent                  the agent, its tools, its page and its boot unit
#   restore-agent-backup-service   the local backup service, for demos, tests and labs
#
# A plain `cmake --install` still lays out one working directory (README); the
# files only a package needs are in components excluded from that.
#
# In the package the programs and the page live in /usr/lib/restore-agent and
# the agent works in /var/lib/restore-agent, where links point at them: the
# agent runs its tools and serves its page from its working directory, and
# writes its scratch files and reads keelback/pw.txt there.

set(RESTORE_AGENT_VERSION "0.1.0" CACHE STRING "Version of the Debian packages")
set(RESTORE_AGENT_PACKAGE_LIBDIR "/usr/lib/restore-agent")
set(RESTORE_AGENT_PACKAGE_WORKDIR "/var/lib/restore-agent")
# Install rules without a component of their own belong to the agent's package.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME agent)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "restore-agent")
set(CPACK_PACKAGE_VERSION "${RESTORE_AGENT_VERSION}")
set(CPACK_PACKAGE_CONTACT "restore-agent maintainers <maintainers@users.noreply.c-seed-a7e5f00b.example>")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "${RESTORE_AGENT_PACKAGE_LIBDIR}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${RESTORE_AGENT_PACKAGE_LIBDIR}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL agent agent-package backup-service)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME "restore-agent")
# The tools the agent and its network script run (util-linux, with lsblk and
# losetup, is essential); the shared libraries come from dpkg-shlibdeps.
set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS
  "mount, fdisk, parted, udev, sudo, ntfs-3g, btrfs-progs, e2fsprogs, iproute2, python3")
set(CPACK_DEBIAN_AGENT_DESCRIPTION "bare-metal restore agent
Rebuilds the disks of the machine it runs on from disk images kept by a
backup service or on USB drives. Its web page and the command-line client
restorectl drive it over a WebSocket endpoint on port 12209.

Meant for a restore environment booted on the machine to restore: the
agent starts at boot and can overwrite every disk of the machine.")
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/companions/package/postinst;${PROJECT_SOURCE_DIR}/companions/package/prerm;${PROJECT_SOURCE_DIR}/companions/package/postrm")
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_BACKUP-SERVICE_PACKAGE_NAME "restore-agent-backup-service")
set(CPACK_DEBIAN_BACKUP-SERVICE_DESCRIPTION "local backup service for the restore agent (demos, tests, labs)
Captures partitions of local disks into a store and serves them to the
restore agent on 127.0.0.1:35623. It is not needed to restore a machine;
it serves demonstrations, tests and lab set-ups.

Its unit restore-agent-lab starts it only in a virtual machine whose host
shares a lab folder with it (virtio 9p, mount tag restore-agent-lab).")
set(CPACK_DEBIAN_BACKUP-SERVICE_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/companions/package/backup-service/postinst;${PROJECT_SOURCE_DIR}/companions/package/backup-service/prerm;${PROJECT_SOURCE_DIR}/companions/package/backup-service/postrm")
set(CPACK_DEBIAN_BACKUP-SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
cpack_add_component_group(agent)
cpack_add_component_group(backup-service)
cpack_add_component(agent GROUP agent)
cpack_add_component(agent-package GROUP agent)
cpack_add_component(backup-service GROUP backup-service)

# The copyright file and the compressed changelog that every Debian package
# carries in /usr/share/doc/PACKAGE.
function(restore_agent_package_docs package component)
  set(PACKAGE ${package})
  set(VERSION ${RESTORE_AGENT_VERSION})
  set(doc_dir ${PROJECT_BINARY_DIR}/package-docs/${package})
  configure_file(${PROJECT_SOURCE_DIR}/companions/package/changelog.in ${doc_dir}/changelog @ONLY)
  execute_process(COMMAND gzip -n -9 -f -k ${doc_dir}/changelog RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot compress ${doc_dir}/changelog")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/companions/package/copyright ${doc_dir}/changelog.gz
    DESTINATION /usr/share/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()
