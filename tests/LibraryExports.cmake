# cmake -DNM=<nm> -DLIB=<libVRLimE31.so> -P LibraryExports.cmake
# The library's dynamic symbols are the programs' interface: no private half of a class (Impl)
# and none of the hooks the tests call may be among them.
execute_process(COMMAND ${NM} -DC --defined-only ${LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT symbols MATCHES "SMTP_OutMail::send")
  message(FATAL_ERROR "${NM} cannot list the interface of ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]*(Impl::|ForTesting|ResolutionsInFlight|POP3_InMailInternal|Test_Com::Set|SetStateObserver|IcmpSocketKind)[^\n]*"
       leaks "${symbols}")
if(leaks)
  list(JOIN leaks "\n" leaks)
  message(FATAL_ERROR "exported but private:\n${leaks}")
endif()
