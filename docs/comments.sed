# A line comment is a documentation comment for Doxygen.
s#^([[:space:]]*)//( |$)#\1///\2#
