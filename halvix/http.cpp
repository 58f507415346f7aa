// placeholder, replaced by the static-file server
