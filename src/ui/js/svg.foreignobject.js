'use strict';

// A foreignObject element for svg.js 2.x, for drawing HTML (the connecting spinner)
// inside the shield's canvas.
SVG.ForeignObject = SVG.invent({
    create: 'foreignObject',
    inherit: SVG.Element,
    extend: {
        appendChild: function (child) {
            this.node.appendChild(typeof child === 'string' ? document.createElement(child) : child);
            return this;
        },
        getChild: function (index) {
            return this.node.childNodes[index];
        }
    },
    construct: {
        foreignObject: function (width, height) {
            return this.put(new SVG.ForeignObject()).size(width === undefined ? 100 : width,
                                                         height === undefined ? 100 : height);
        }
    }
});
