# npm file (under node_modules) = place in the resource tree.
set(CORRIVO_UI_VENDOR
    "jquery/dist/jquery.slim.min.js=js/jquery.slim.min.js"
    "popper.js/dist/umd/popper.min.js=js/popper.min.js"
    "tooltip.js/dist/umd/tooltip.min.js=js/tooltip.min.js"
    "bootstrap/dist/js/bootstrap.min.js=js/bootstrap.min.js"
    "bootstrap/dist/css/bootstrap.min.css=css/bootstrap.min.css"
    "underscore/underscore-umd-min.js=js/underscore-min.js"
    "backbone/backbone-min.js=js/backbone-min.js"
    "i18next/dist/umd/i18next.min.js=js/i18next.min.js"
    "svg.js/dist/svg.min.js=js/svg.min.js"
    "svg.pathmorphing.js/dist/svg.pathmorphing.min.js=js/svg.pathmorphing.min.js"
    "anno.js/dist/anno.js=js/anno.js"
    "anno.js/dist/anno.css=css/anno.css"
    "jquery.scrollintoview/jquery.scrollintoview.js=js/jquery.scrollintoview.js"
    "material-icons/iconfont/material-icons.woff2=font/material-icons.woff2"
)
# Lato in the weights the style sheet uses, latin and latin-ext subsets.
foreach(subset IN ITEMS latin latin-ext)
    foreach(face IN ITEMS 300-normal 400-normal 400-italic 700-normal 900-normal)
        list(APPEND CORRIVO_UI_VENDOR
            "@fontsource/lato/files/lato-${subset}-${face}.woff2=font/lato-${subset}-${face}.woff2")
    endforeach()
endforeach()

# The libraries the page loads at start, in load order, as one script (js/vendor.js):
# one request and one compile instead of eleven. Each stays a resource of its own too.
set(CORRIVO_UI_VENDOR_BUNDLE
    js/jquery.slim.min.js
    js/anno.js
    js/jquery.scrollintoview.js
    js/popper.min.js
    js/bootstrap.min.js
    js/underscore-min.js
    js/backbone-min.js
    js/i18next.min.js
    js/svg.min.js
    js/svg.pathmorphing.min.js
    js/tooltip.min.js)
