// libmat of the stand-in host. Modules list it as needed, as they do with a
// real host, and call nothing in it.
